#!/usr/bin/env bash
# The MariaDB and PostgreSQL 15 servers the integration tests run against: private data
# folders under /tmp/norvex-servers, listening on 127.0.0.1 only, loaded with the Chinook
# sample database and reached through ordinary (non-superuser) roles.
#
#   eval "$(scripts/servers.sh start)"   start both (or reuse them), print the export lines
#   scripts/servers.sh env                print the export lines for the servers that run
#   scripts/servers.sh status             print what runs; exit 0 only when both run
#   scripts/servers.sh stop [--wipe]      stop both; --wipe also deletes their data
#
# Settings: NORVEX_SERVERS_DIR (/tmp/norvex-servers), NORVEX_SERVERS_MYSQL_PORT (23306),
# NORVEX_SERVERS_PG_PORT (25432), NORVEX_CHINOOK_DIR (<repo>/third_party/test_data/chinook),
# NORVEX_PG_BIN (/usr/lib/postgresql/15/bin).
# Progress and errors go to stderr; stdout carries the export lines (and the status report).
#
# As root (CI), MariaDB runs as root and PostgreSQL as the postgres user (initdb and postgres
# refuse root). As anyone else, both run as that user; no sudo is needed.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Not under /root: its mode 700 would stop the postgres user.
BASE=${NORVEX_SERVERS_DIR:-/tmp/norvex-servers}
# Away from the usual 3306 / 5432 so a developer's own servers are left alone.
MY_PORT=${NORVEX_SERVERS_MYSQL_PORT:-23306}
PG_PORT=${NORVEX_SERVERS_PG_PORT:-25432}
PG_BIN=${NORVEX_PG_BIN:-/usr/lib/postgresql/15/bin}
CHINOOK_DIR=${NORVEX_CHINOOK_DIR:-$repo/third_party/test_data/chinook}

HOST=127.0.0.1
START_TIMEOUT=60 # seconds; a cold MariaDB is ready in under one

TEST_USER=norvex_test
TEST_PASSWORD=norvex-test-pw
ADMIN_USER=norvex_admin
ADMIN_PASSWORD=norvex-admin-pw
# PostgreSQL only: a role that may read the server's files (pg_read_server_files), to show
# that the statement guard alone stops such reads for roles that have the right.
FILES_USER=norvex_files
FILES_PASSWORD=norvex-files-pw

MY_DIR=$BASE/mariadb
MY_DATA=$MY_DIR/data
MY_SOCKET=$MY_DIR/mariadbd.sock
MY_PID_FILE=$MY_DIR/mariadbd.pid
MY_LOG=$MY_DIR/mariadbd.log
MY_PORT_FILE=$MY_DIR/port
MY_INITIALISED=$MY_DIR/initialised     # written once mariadb-install-db has finished
MY_LOADED=$MY_DIR/chinook-loaded       # holds the checksum of the script that was loaded

PG_DIR=$BASE/postgres
PG_DATA=$PG_DIR/data
PG_SOCKET_DIR=$PG_DIR/run
PG_LOG=$PG_DIR/postgres.log
PG_INITIALISED=$PG_DIR/initialised
PG_LOADED=$PG_DIR/chinook-loaded
PG_SUPERUSER=postgres

ODBC_DIR=$BASE/odbc

is_root() { [ "$(id -u)" -eq 0 ]; }

# ---------------------------------------------------------------------------------------------
# Shared helpers

say() { printf 'servers: %s\n' "$*" >&2; }

FAILURE="" # the reason of a failed start, said again after the clean-up

die() {
  FAILURE=$*
  say "error: $*"
  exit 1
}

# Fails with the message and the end of the server's log, where the real reason usually is.
die_with_log() {
  local message=$1 log=$2
  FAILURE=$message
  say "error: $message"
  if [ -s "$log" ]; then
    say "last lines of $log:"
    tail -n 30 "$log" | sed 's/^/    /' >&2
  fi
  exit 1
}

# Runs a check repeatedly until it succeeds or $1 seconds have passed.
wait_until() {
  local timeout=$1
  shift
  local deadline=$((SECONDS + timeout))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# True when something accepts TCP connections on 127.0.0.1:$1.
port_in_use() { (exec 3<>"/dev/tcp/$HOST/$1") 2>/dev/null; }

# True when process $1 is alive (not a zombie waiting to be reaped) and its command line
# contains $2. A stale pid file may name a process that has nothing to do with us.
process_runs() {
  local pid=$1 needle=$2 stat
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
  stat=${stat##*) } # the state follows the parenthesised command name
  [[ $stat != [ZX]* ]] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$needle"
}

checksum() { sha256sum <"$1" | cut -d' ' -f1; }

# Prints one export line, quoted so that eval gives back the exact value.
emit() { printf 'export %s=%q\n' "$1" "$2"; }

# /tmp is shared: never follow a link or use a folder someone else planted there.
check_base_dir() {
  [ ! -L "$BASE" ] || die "$BASE is a symbolic link; refusing to use it"
  [ -O "$BASE" ] || die "$BASE belongs to another user; set NORVEX_SERVERS_DIR to a folder of your own"
}

prepare_base_dir() {
  [ -L "$BASE" ] || mkdir -p "$BASE"
  check_base_dir
  chmod 755 "$BASE" # the postgres user must be able to reach its own folder inside
}

# Serialises start and stop, so parallel test runs do not initialise the same folder twice.
take_lock() {
  exec 9>"$BASE/.lock"
  flock -w 300 9 || die "another scripts/servers.sh has held $BASE/.lock for 5 minutes"
}

find_chinook() {
  if [ ! -f "$CHINOOK_DIR/chinook_mysql.sql" ] || [ ! -f "$CHINOOK_DIR/chinook_postgres.sql" ]; then
    die "the Chinook scripts are not in $CHINOOK_DIR; set NORVEX_CHINOOK_DIR to the folder holding chinook_mysql.sql and chinook_postgres.sql"
  fi
  CHINOOK_DIR=$(cd "$CHINOOK_DIR" && pwd -P)
}

# ---------------------------------------------------------------------------------------------
# MariaDB

my_pid() {
  local pid
  [ -s "$MY_PID_FILE" ] || return 1
  pid=$(<"$MY_PID_FILE")
  process_runs "$pid" "--datadir=$MY_DATA" || return 1
  echo "$pid"
}

my_alive() { my_pid >/dev/null; }

my_ping() {
  mariadb-admin --no-defaults --socket="$MY_SOCKET" --user=root --connect-timeout=2 ping \
    >/dev/null 2>&1
}

# The superuser over the socket; its folder is private, and root has no TCP account.
my_root() { mariadb --no-defaults --socket="$MY_SOCKET" --user=root "$@"; }

# mariadbd refuses to run as root unless told to; as anyone else it runs as that user.
MY_USER_OPTION=()
if is_root; then MY_USER_OPTION=(--user=root); fi

my_init() {
  say "MariaDB: creating a data folder in $MY_DATA"
  rm -rf "$MY_DATA" "$MY_INITIALISED" "$MY_LOADED"
  mkdir -p "$MY_DATA"
  mariadb-install-db --no-defaults --datadir="$MY_DATA" "${MY_USER_OPTION[@]}" \
    --auth-root-authentication-method=normal --skip-test-db --skip-name-resolve \
    >>"$MY_LOG" 2>&1 9>&- || die_with_log "mariadb-install-db failed" "$MY_LOG"
  touch "$MY_INITIALISED"
}

# Starts mariadbd in the background and waits until it answers; false when it does not.
my_launch() {
  rm -f "$MY_PID_FILE" "$MY_SOCKET" # leftovers of a crashed run
  printf '\n--- norvex: starting mariadbd on %s:%s at %s\n' "$HOST" "$MY_PORT" "$(date -Is)" \
    >>"$MY_LOG"
  # setsid: a Ctrl-C in the terminal that started the tests must not reach the server.
  # --skip-name-resolve: accounts match 127.0.0.1 exactly and no look-up leaves the machine.
  # The character set and the relaxed log flushing are Debian's defaults and a test server's.
  setsid mariadbd --no-defaults --datadir="$MY_DATA" --socket="$MY_SOCKET" --port="$MY_PORT" \
    --bind-address="$HOST" "${MY_USER_OPTION[@]}" --pid-file="$MY_PID_FILE" --log-error="$MY_LOG" \
    --skip-name-resolve --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    --innodb-flush-log-at-trx-commit=2 </dev/null >>"$MY_LOG" 2>&1 9>&- &
  local launcher=$!
  echo "$MY_PORT" >"$MY_PORT_FILE"
  local deadline=$((SECONDS + START_TIMEOUT))
  until my_ping; do
    # Give up at once when the server has died instead of waiting out the timeout.
    kill -0 "$launcher" 2>/dev/null || my_alive || return 1
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

my_start() {
  mkdir -p "$MY_DIR"
  chmod 700 "$MY_DIR" # keeps the socket, where root needs no password, to ourselves
  if my_alive; then
    local running_port
    running_port=$(cat "$MY_PORT_FILE" 2>/dev/null || echo "?")
    [ "$running_port" = "$MY_PORT" ] ||
      die "MariaDB already runs on port $running_port, not $MY_PORT; run scripts/servers.sh stop first"
    wait_until "$START_TIMEOUT" my_ping ||
      die_with_log "MariaDB (pid $(my_pid)) runs but does not answer" "$MY_LOG"
    say "MariaDB: already running on $HOST:$MY_PORT (pid $(my_pid))"
  else
    ! port_in_use "$MY_PORT" ||
      die "port $MY_PORT on $HOST is taken by another program; choose another with NORVEX_SERVERS_MYSQL_PORT"
    local fresh=false
    if [ ! -f "$MY_INITIALISED" ]; then
      my_init
      fresh=true
    fi
    say "MariaDB: starting on $HOST:$MY_PORT"
    if ! my_launch; then
      my_stop_quietly
      # The data folder holds nothing but test data: a folder that cannot start (left by a
      # crash, or by another MariaDB version) is recreated once before giving up.
      $fresh && die_with_log "mariadbd did not start" "$MY_LOG"
      say "MariaDB: the existing data folder does not start; recreating it"
      my_init
      my_launch || { my_stop_quietly; die_with_log "mariadbd did not start" "$MY_LOG"; }
    fi
    STARTED+=(my)
    say "MariaDB: ready (pid $(my_pid))"
  fi
  my_load_chinook
  my_create_roles
}

my_load_chinook() {
  local script=$CHINOOK_DIR/chinook_mysql.sql sum
  sum=$(checksum "$script")
  if [ "$(cat "$MY_LOADED" 2>/dev/null)" = "$sum" ] &&
    [ "$(my_root -N -B -e "SELECT COUNT(*) FROM information_schema.tables
                            WHERE table_schema = 'Chinook' AND table_name = 'Track'")" = 1 ]; then
    say "MariaDB: Chinook already loaded"
    return
  fi
  say "MariaDB: loading Chinook"
  rm -f "$MY_LOADED"
  # Four track names hold a backslash, which the default sql_mode would silently drop.
  my_root --default-character-set=utf8mb4 \
    --init-command="SET SESSION sql_mode=CONCAT(@@sql_mode,',NO_BACKSLASH_ESCAPES')" \
    <"$script" >>"$MY_LOG" 2>&1 || die_with_log "loading $script into MariaDB failed" "$MY_LOG"
  echo "$sum" >"$MY_LOADED"
}

# Idempotent: run on every start, so a changed password or a lost grant heals itself.
my_create_roles() {
  local sql host
  # Root is reachable through the private socket only: drop its TCP and host-name accounts.
  sql=$(my_root -N -B -e "SELECT CONCAT('DROP USER ', QUOTE(user), '@', QUOTE(host), ';')
                          FROM mysql.user WHERE user = 'root' AND host <> 'localhost'") ||
    die_with_log "listing the MariaDB root accounts failed" "$MY_LOG"
  # One account per statement: IDENTIFIED BY binds to the last account of a list only.
  # 127.0.0.1 serves TCP (no name resolution), localhost the socket.
  for host in 127.0.0.1 localhost; do
    sql+="
CREATE USER IF NOT EXISTS '$TEST_USER'@'$host';
ALTER USER '$TEST_USER'@'$host' IDENTIFIED BY '$TEST_PASSWORD';
GRANT SELECT, SHOW VIEW ON \`Chinook\`.* TO '$TEST_USER'@'$host';
CREATE USER IF NOT EXISTS '$ADMIN_USER'@'$host';
ALTER USER '$ADMIN_USER'@'$host' IDENTIFIED BY '$ADMIN_PASSWORD';
GRANT ALL PRIVILEGES ON \`norvex\\_scratch%\`.* TO '$ADMIN_USER'@'$host';"
  done
  my_root <<<"$sql" >>"$MY_LOG" 2>&1 ||
    die_with_log "creating the MariaDB test accounts failed" "$MY_LOG"
}

# A process that has exited but not been reaped yet counts as gone.
my_gone() { ! process_runs "$1" "--datadir=$MY_DATA"; }

# Stops our mariadbd, if it runs, and waits until it has gone.
my_stop_quietly() {
  local pid
  pid=$(my_pid) || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  wait_until "$START_TIMEOUT" my_gone "$pid"
}

my_stop() {
  if ! my_alive; then
    say "MariaDB: not running"
    return
  fi
  say "MariaDB: stopping (pid $(my_pid))"
  my_stop_quietly || die_with_log "mariadbd did not stop within $START_TIMEOUT s" "$MY_LOG"
}

my_env() {
  emit NORVEX_TEST_MYSQL_HOST "$HOST"
  emit NORVEX_TEST_MYSQL_PORT "$(cat "$MY_PORT_FILE")"
  emit NORVEX_TEST_MYSQL_USER "$TEST_USER"
  emit NORVEX_TEST_MYSQL_PASSWORD "$TEST_PASSWORD"
  emit NORVEX_TEST_MYSQL_DATABASE Chinook
  emit NORVEX_TEST_MYSQL_SOCKET "$MY_SOCKET"
  emit NORVEX_TEST_MYSQL_ADMIN_USER "$ADMIN_USER"
  emit NORVEX_TEST_MYSQL_ADMIN_PASSWORD "$ADMIN_PASSWORD"
}

my_status() {
  if my_alive; then
    local loaded="Chinook not loaded"
    [ -f "$MY_LOADED" ] && loaded="Chinook loaded"
    echo "MariaDB: running (pid $(my_pid), $HOST:$(cat "$MY_PORT_FILE"), socket $MY_SOCKET, $loaded)"
  elif [ -f "$MY_INITIALISED" ]; then
    echo "MariaDB: stopped (data kept in $MY_DATA)"
  else
    echo "MariaDB: stopped (no data)"
  fi
}

# ---------------------------------------------------------------------------------------------
# PostgreSQL

# Runs a command as the owner of the PostgreSQL files, from a folder that owner may enter.
as_pg_owner() {
  if is_root; then
    (cd "$PG_DIR" && runuser -u postgres -- "$@")
  else
    (cd "$PG_DIR" && "$@")
  fi
}

pg_ctl_() { as_pg_owner "$PG_BIN/pg_ctl" "$@"; }

# Line 1 of postmaster.pid is the server's pid.
pg_alive() { process_runs "$(sed -n 1p "$PG_DATA/postmaster.pid" 2>/dev/null)" "-D $PG_DATA"; }

# The port the running server listens on: line 4 of postmaster.pid.
pg_running_port() { sed -n 4p "$PG_DATA/postmaster.pid" 2>/dev/null; }

pg_ready() { pg_isready -q -h "$HOST" -p "$PG_PORT" -t 2; }

# The superuser over the socket; the socket folder is private, and pg_hba.conf trusts the
# socket for the superuser only.
pg_super() {
  psql -X -q -v ON_ERROR_STOP=1 -h "$PG_SOCKET_DIR" -p "$PG_PORT" -U "$PG_SUPERUSER" "$@"
}

pg_make_dir() {
  if is_root; then
    install -d -m 700 -o postgres -g postgres "$@"
  else
    install -d -m 700 "$@"
  fi
}

pg_init() {
  say "PostgreSQL: creating a data folder in $PG_DATA"
  rm -rf "$PG_DATA" "$PG_INITIALISED" "$PG_LOADED"
  pg_make_dir "$PG_DATA"
  # UTF8 whatever the caller's locale; C.UTF-8 exists on every Debian.
  as_pg_owner "$PG_BIN/initdb" -D "$PG_DATA" -U "$PG_SUPERUSER" -E UTF8 --locale=C.UTF-8 \
    --auth-local=trust --auth-host=scram-sha-256 >>"$PG_LOG" 2>&1 9>&- ||
    die_with_log "initdb failed" "$PG_LOG"
  # Passwords over TCP, as a real deployment would; no trust for ordinary roles anywhere.
  as_pg_owner tee "$PG_DATA/pg_hba.conf" >/dev/null <<EOF
# TYPE  DATABASE  USER             ADDRESS        METHOD
local   all       $PG_SUPERUSER                   trust
local   all       all                             scram-sha-256
host    all       all              127.0.0.1/32   scram-sha-256
EOF
  touch "$PG_INITIALISED"
}

# Starts the server and waits until it accepts TCP connections; false when it does not.
pg_launch() {
  printf '\n--- norvex: starting postgres on %s:%s at %s\n' "$HOST" "$PG_PORT" "$(date -Is)" |
    as_pg_owner tee -a "$PG_LOG" >/dev/null
  # pg_ctl -w waits until the server accepts connections.
  pg_ctl_ start -D "$PG_DATA" -l "$PG_LOG" -w -t "$START_TIMEOUT" \
    -o "-p $PG_PORT -k '$PG_SOCKET_DIR' -c listen_addresses=$HOST" >/dev/null 2>&1 9>&- ||
    return 1
  wait_until "$START_TIMEOUT" pg_ready
}

pg_start() {
  [ -x "$PG_BIN/pg_ctl" ] || die "PostgreSQL 15 is not in $PG_BIN; run scripts/deps.sh or set NORVEX_PG_BIN"
  if is_root; then
    id postgres >/dev/null 2>&1 || die "there is no postgres user; install the postgresql package"
  fi
  pg_make_dir "$PG_DIR" "$PG_SOCKET_DIR"
  # The server appends to its log as the owner; what this script appends keeps that owner.
  touch "$PG_LOG"
  if is_root; then chown postgres:postgres "$PG_LOG"; fi
  if pg_alive; then
    local running_port
    running_port=$(pg_running_port)
    [ "$running_port" = "$PG_PORT" ] ||
      die "PostgreSQL already runs on port $running_port, not $PG_PORT; run scripts/servers.sh stop first"
    wait_until "$START_TIMEOUT" pg_ready ||
      die_with_log "PostgreSQL runs but does not accept connections" "$PG_LOG"
    say "PostgreSQL: already running on $HOST:$PG_PORT"
  else
    ! port_in_use "$PG_PORT" ||
      die "port $PG_PORT on $HOST is taken by another program; choose another with NORVEX_SERVERS_PG_PORT"
    local fresh=false
    if [ ! -f "$PG_INITIALISED" ]; then
      pg_init
      fresh=true
    fi
    if [ -f "$PG_DATA/postmaster.pid" ]; then
      # Left by a server that died, with its socket lock. postgres refuses to start while the
      # pid they name exists, and a killed server lingers as a zombie until it is reaped.
      say "PostgreSQL: removing the lock files of a server that died"
      rm -f "$PG_DATA/postmaster.pid" "$PG_SOCKET_DIR"/.s.PGSQL.*
    fi
    say "PostgreSQL: starting on $HOST:$PG_PORT"
    if ! pg_launch; then
      pg_stop_quietly
      # As for MariaDB: test data only, so a folder that cannot start is recreated once.
      $fresh && die_with_log "PostgreSQL did not start" "$PG_LOG"
      say "PostgreSQL: the existing data folder does not start; recreating it"
      pg_init
      pg_launch || { pg_stop_quietly; die_with_log "PostgreSQL did not start" "$PG_LOG"; }
    fi
    STARTED+=(pg)
    say "PostgreSQL: ready"
  fi
  pg_load_chinook
  pg_create_roles
}

pg_load_chinook() {
  local script=$CHINOOK_DIR/chinook_postgres.sql sum
  sum=$(checksum "$script")
  if [ "$(cat "$PG_LOADED" 2>/dev/null)" = "$sum" ] &&
    [ "$(pg_super -d postgres -At -c "SELECT 1 FROM pg_database WHERE datname = 'chinook'")" = 1 ]; then
    say "PostgreSQL: Chinook already loaded"
    return
  fi
  say "PostgreSQL: loading Chinook"
  rm -f "$PG_LOADED"
  # The script drops and creates the database, then switches to it with psql's \c.
  pg_super -d postgres -f "$script" >/dev/null 2>"$PG_DIR/load.log" || {
    cat "$PG_DIR/load.log" >&2
    die "loading $script into PostgreSQL failed"
  }
  echo "$sum" >"$PG_LOADED"
}

# Idempotent, as for MariaDB.
pg_create_roles() {
  pg_super -d postgres >/dev/null <<SQL || die "creating the PostgreSQL test roles failed"
DO \$\$
BEGIN
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '$TEST_USER') THEN
    CREATE ROLE $TEST_USER;
  END IF;
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '$ADMIN_USER') THEN
    CREATE ROLE $ADMIN_USER;
  END IF;
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '$FILES_USER') THEN
    CREATE ROLE $FILES_USER;
  END IF;
END
\$\$;
ALTER ROLE $TEST_USER LOGIN NOSUPERUSER NOCREATEDB NOCREATEROLE PASSWORD '$TEST_PASSWORD';
ALTER ROLE $ADMIN_USER LOGIN NOSUPERUSER CREATEDB NOCREATEROLE PASSWORD '$ADMIN_PASSWORD';
ALTER ROLE $FILES_USER LOGIN NOSUPERUSER NOCREATEDB NOCREATEROLE PASSWORD '$FILES_PASSWORD';
GRANT pg_read_server_files TO $FILES_USER;
GRANT CONNECT ON DATABASE chinook TO $TEST_USER, $FILES_USER;
\c chinook
GRANT USAGE ON SCHEMA public TO $TEST_USER, $FILES_USER;
GRANT SELECT ON ALL TABLES IN SCHEMA public TO $TEST_USER, $FILES_USER;
GRANT EXECUTE ON FUNCTION pg_read_file(text), pg_read_file(text, bigint, bigint),
  pg_read_binary_file(text), pg_stat_file(text) TO $FILES_USER;
SQL
}

pg_stop_quietly() {
  pg_alive || return 0
  pg_ctl_ stop -D "$PG_DATA" -m fast -w -t "$START_TIMEOUT" >/dev/null 2>&1 9>&-
}

pg_stop() {
  if ! pg_alive; then
    say "PostgreSQL: not running"
    return
  fi
  say "PostgreSQL: stopping"
  pg_stop_quietly || die_with_log "PostgreSQL did not stop within $START_TIMEOUT s" "$PG_LOG"
}

pg_env() {
  emit NORVEX_TEST_PG_HOST "$HOST"
  emit NORVEX_TEST_PG_PORT "$(pg_running_port)"
  emit NORVEX_TEST_PG_USER "$TEST_USER"
  emit NORVEX_TEST_PG_PASSWORD "$TEST_PASSWORD"
  emit NORVEX_TEST_PG_DATABASE chinook
  emit NORVEX_TEST_PG_SOCKET_DIR "$PG_SOCKET_DIR"
  emit NORVEX_TEST_PG_ADMIN_USER "$ADMIN_USER"
  emit NORVEX_TEST_PG_ADMIN_PASSWORD "$ADMIN_PASSWORD"
  emit NORVEX_TEST_PG_FILES_USER "$FILES_USER"
  emit NORVEX_TEST_PG_FILES_PASSWORD "$FILES_PASSWORD"
}

pg_status() {
  if pg_alive; then
    local loaded="Chinook not loaded"
    [ -f "$PG_LOADED" ] && loaded="Chinook loaded"
    echo "PostgreSQL: running ($HOST:$(pg_running_port), socket folder $PG_SOCKET_DIR, $loaded)"
  elif [ -f "$PG_INITIALISED" ]; then
    echo "PostgreSQL: stopped (data kept in $PG_DATA)"
  else
    echo "PostgreSQL: stopped (no data)"
  fi
}

# ---------------------------------------------------------------------------------------------
# ODBC: the drivers registered in a private folder, never in /etc.

driver_path() {
  local package=$1 file=$2 path
  path=$(dpkg -L "$package" 2>/dev/null | grep "/$file\$" | head -n 1 || true)
  [ -n "$path" ] && [ -f "$path" ] || return 1
  echo "$path"
}

odbc_setup() {
  local pg_driver tds_driver
  pg_driver=$(driver_path odbc-postgresql psqlodbcw.so) ||
    die "the PostgreSQL ODBC driver (psqlodbcw.so) is missing; run scripts/deps.sh"
  tds_driver=$(driver_path tdsodbc libtdsodbc.so) ||
    die "the FreeTDS ODBC driver (libtdsodbc.so) is missing; run scripts/deps.sh"
  mkdir -p "$ODBC_DIR"
  cat >"$ODBC_DIR/odbcinst.ini" <<EOF
[PostgreSQL Unicode]
Description = PostgreSQL ODBC driver (Unicode)
Driver = $pg_driver

[SQL Server]
Description = FreeTDS, registered under the name SQL Server connection strings use
Driver = $tds_driver
EOF
  : >"$ODBC_DIR/odbc.ini"
}

# ---------------------------------------------------------------------------------------------
# Commands

print_env() {
  if my_alive; then my_env; fi
  if pg_alive; then pg_env; fi
  if [ -f "$ODBC_DIR/odbcinst.ini" ]; then emit ODBCSYSINI "$ODBC_DIR"; fi
  if [ -d "$CHINOOK_DIR" ]; then emit NORVEX_CHINOOK_DIR "$(cd "$CHINOOK_DIR" && pwd -P)"; fi
}

STARTED=()

# On a failed start, stop the servers this run started; their data folders stay.
stop_started_on_failure() {
  local status=$?
  if [ "$status" -ne 0 ] && [ "${#STARTED[@]}" -gt 0 ]; then
    say "start failed; stopping what this run started"
    local server
    for server in "${STARTED[@]}"; do "${server}_stop_quietly" || true; done
  fi
  # The reason goes last, where a reader of a long log looks first.
  if [ "$status" -ne 0 ] && [ -n "$FAILURE" ]; then say "error: $FAILURE"; fi
  exit "$status"
}

cmd_start() {
  # Whatever a tool prints goes to stderr; stdout is kept for the export lines. (No copy of
  # stdout may stay open in the servers, or "$(servers.sh start)" would wait for them.)
  {
    prepare_base_dir
    take_lock
    find_chinook
    trap stop_started_on_failure EXIT
    odbc_setup
    my_start
    pg_start
    say "ready: MariaDB on $HOST:$MY_PORT, PostgreSQL on $HOST:$PG_PORT"
  } >&2
  print_env
}

cmd_stop() {
  local wipe=false
  case "${1:-}" in
    "") ;;
    --wipe) wipe=true ;;
    *) die "unknown option for stop: $1 (expected --wipe)" ;;
  esac
  if [ ! -d "$BASE" ]; then
    say "nothing to stop: $BASE does not exist"
    return
  fi
  check_base_dir
  take_lock
  my_stop
  pg_stop
  if $wipe; then
    # Only what this script created, in case NORVEX_SERVERS_DIR names a folder that matters.
    say "removing the data in $BASE"
    rm -rf -- "$MY_DIR" "$PG_DIR" "$ODBC_DIR" "$BASE/.lock"
    rmdir -- "$BASE" 2>/dev/null || true
  fi
}

cmd_status() {
  my_status
  pg_status
  my_alive && pg_alive
}

usage() {
  cat >&2 <<EOF
usage: scripts/servers.sh start | stop [--wipe] | env | status
  start          start MariaDB and PostgreSQL on $HOST (or reuse them), load Chinook,
                 print export lines: eval "\$(scripts/servers.sh start)"
  stop [--wipe]  stop both; --wipe also removes their data in $BASE
  env            print the export lines for the servers that run
  status         print what runs; exit status 0 only when both run
EOF
}

main() {
  local command=${1:-}
  [ $# -eq 0 ] || shift
  case "$command" in
    start) cmd_start "$@" ;;
    stop) cmd_stop "$@" ;;
    env) print_env ;;
    status) cmd_status ;;
    -h | --help | help) usage ;;
    *)
      usage
      exit 2
      ;;
  esac
}

main "$@"
