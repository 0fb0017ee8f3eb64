#!/usr/bin/env bash
# check_install.sh BUILD_DIR CONSUMER_DIR WORK_DIR CXX
set -euo pipefail
build=$1 consumer=$2 work=$3 cxx=$4
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null

echo "== find_package(norvex)"
cmake -S "$consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

echo "== pkg-config norvex"
libdir=$(ls -d "$work/prefix"/lib*/pkgconfig | head -n1)
export PKG_CONFIG_PATH="$libdir"
flags=$(pkg-config --cflags --libs norvex)
# shellcheck disable=SC2086
"$cxx" "$consumer/consumer.cpp" -o "$work/consumer-pc" $flags -Wl,-rpath,"$(dirname "$libdir")"
"$work/consumer-pc"
