#!/usr/bin/env bash
# A private, throw-away database server for the reconnect tests, so the shared test servers
# are never restarted. Loopback only; everything lives in the given folder.
#
#   private_server.sh pg|mariadb start|restart|stop DIR PORT
#
# start creates the server (user norvex_probe, password norvex-probe-pw, not a superuser).
set -euo pipefail
engine=$1 action=$2 dir=$3 port=$4
PG_BIN=${NORVEX_PG_BIN:-/usr/lib/postgresql/15/bin}
USER_NAME=norvex_probe
USER_PASSWORD=norvex-probe-pw

is_root() { [ "$(id -u)" -eq 0 ]; }
as_pg() { if is_root; then (cd "$dir" && runuser -u postgres -- "$@"); else "$@"; fi; }

wait_for() {
  local deadline=$((SECONDS + 60))
  until "$@"; do
    ((SECONDS < deadline)) || { echo "timed out waiting for: $*" >&2; return 1; }
    sleep 0.1
  done
}

pg_start() {
  if [ ! -f "$dir/pg/PG_VERSION" ]; then
    mkdir -p "$dir/pg" "$dir/run"
    chmod 755 "$dir"
    if is_root; then chown postgres:postgres "$dir/pg" "$dir/run"; fi
    as_pg "$PG_BIN/initdb" -D "$dir/pg" -U postgres -E UTF8 --locale=C.UTF-8 \
      --auth-local=trust --auth-host=scram-sha-256 >"$dir/initdb.log" 2>&1
    fresh=1
  fi
  as_pg "$PG_BIN/pg_ctl" start -D "$dir/pg" -l "$dir/run/pg.log" -w -t 60 \
    -o "-p $port -k $dir/run -c listen_addresses=127.0.0.1" >/dev/null
  if [ "${fresh:-0}" = 1 ]; then
    psql -X -q -h "$dir/run" -p "$port" -U postgres -d postgres \
      -c "CREATE ROLE $USER_NAME LOGIN NOSUPERUSER PASSWORD '$USER_PASSWORD'"
  fi
}

pg_stop() { as_pg "$PG_BIN/pg_ctl" stop -D "$dir/pg" -m fast -w -t 60 >/dev/null 2>&1 || true; }

my_opts=()
if is_root; then my_opts=(--user=root); fi

my_ping() { mariadb-admin --no-defaults --socket="$dir/my.sock" --user=root ping >/dev/null 2>&1; }

my_start() {
  if [ ! -d "$dir/my/mysql" ]; then
    mkdir -p "$dir/my"
    mariadb-install-db --no-defaults --datadir="$dir/my" "${my_opts[@]}" \
      --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1
    fresh=1
  fi
  setsid mariadbd --no-defaults --datadir="$dir/my" --socket="$dir/my.sock" --port="$port" \
    --bind-address=127.0.0.1 "${my_opts[@]}" --pid-file="$dir/my.pid" \
    --log-error="$dir/my.log" --skip-name-resolve </dev/null >/dev/null 2>&1 &
  wait_for my_ping
  if [ "${fresh:-0}" = 1 ]; then
    mariadb --no-defaults --socket="$dir/my.sock" --user=root -e \
      "CREATE USER '$USER_NAME'@'127.0.0.1' IDENTIFIED BY '$USER_PASSWORD';"
  fi
}

my_stop() {
  [ -s "$dir/my.pid" ] || return 0
  local pid
  pid=$(<"$dir/my.pid")
  kill -TERM "$pid" 2>/dev/null || return 0
  wait_for eval "! kill -0 $pid 2>/dev/null"
}

case "$engine:$action" in
  pg:start) pg_start ;;
  pg:stop) pg_stop ;;
  pg:restart) pg_stop && pg_start ;;
  mariadb:start) my_start ;;
  mariadb:stop) my_stop ;;
  mariadb:restart) my_stop && my_start ;;
  *) echo "usage: $0 pg|mariadb start|restart|stop DIR PORT" >&2; exit 2 ;;
esac
