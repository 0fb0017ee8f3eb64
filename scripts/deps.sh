#!/usr/bin/env bash
# Installs the Debian packages norvex builds, tests and runs with.
# Skips what is installed; runs apt-get update at most once; uses sudo when not root.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang-format
  # libraries
  nlohmann-json3-dev libcurl4-openssl-dev libmariadb-dev libpq-dev
  unixodbc-dev libsqlite3-dev sqlite3 python3-dev pybind11-dev
  libgraphviz-dev libstb-dev libcli11-dev libspdlog-dev libcsv-dev
  # the HTTP service (and the tests' fake chat service)
  libcpp-httplib-dev
  # analysis packages for the embedded interpreter and the code runner
  python3-numpy python3-pandas python3-matplotlib python3-scipy
  python3-sklearn python3-statsmodels python3-venv
  # Excel workbooks as data files
  python3-openpyxl
  # confinement of analysis runs
  libseccomp-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # the service's page in a headless browser
  chromium chromium-driver python3-selenium fonts-dejavu-core
  unixodbc odbc-postgresql tdsodbc
  mariadb-server mariadb-client postgresql postgresql-client
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "deps: all ${#packages[@]} packages present"
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "deps: done"
