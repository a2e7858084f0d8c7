#!/usr/bin/env bash
# A private PostgreSQL cluster for tests: its own data folder under /tmp, TCP on 127.0.0.1
# at a free port, password logins from 127.0.0.1 only. Never a system service.
#   scripts/postgres.sh start DIR     a fresh cluster; prints the shell exports of its details
#                                     (also written to DIR/env)
#   scripts/postgres.sh restart DIR   the same data folder and port again (after a kill)
#   scripts/postgres.sh stop DIR      stops the cluster and removes its data folder
# The server refuses to run as root: as root, initdb and pg_ctl run as the user `postgres`,
# on a data folder of its own (DIR may sit in a folder that user cannot enter).
set -euo pipefail
# shellcheck source=scripts/lib/process.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/process.sh"
cmd=${1:?start|restart|stop}; dir=${2:?state folder}

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bin" ] || [ ! -x "$bin/pg_ctl" ]; then
  echo "postgres.sh: no PostgreSQL server found (scripts/deps.sh installs it)" >&2
  exit 1
fi

as_server() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

setting() { sed -n "s/^export FENWOLD_TEST_POSTGRES_$1=//p" "$dir/env"; }

# Starts the server on $pgdir/data at $port and waits until it answers; 1 when it does not.
launch() {
  rm -f "$dir/pid"
  if ! as_server "$bin/pg_ctl" -D "$pgdir/data" -l "$pgdir/server.log" -w -t 60 \
      -o "-p $port -k $pgdir -c listen_addresses=127.0.0.1" start >/dev/null 2>&1; then
    return 1
  fi
  head -n 1 "$pgdir/data/postmaster.pid" > "$dir/pid"
}

show_log() {
  echo "postgres.sh: $1; the server log says:" >&2
  tail -n 20 "$pgdir/server.log" >&2 2>/dev/null || true
}

stop_server() {
  [ -d "$pgdir/data" ] || return 0
  as_server "$bin/pg_ctl" -D "$pgdir/data" -m immediate -w -t 60 stop >/dev/null 2>&1 || true
  rm -f "$dir/pid"
}

case "$cmd" in
start)
  rm -rf "$dir"; mkdir -p "$dir"
  pgdir=$(mktemp -d /tmp/fenwold-pg.XXXXXX)
  [ "$(id -u)" = 0 ] && chown postgres: "$pgdir"
  echo "$pgdir" > "$dir/pgdir"
  printf 'fw-test-pw\n' > "$pgdir/pw"
  if ! as_server "$bin/initdb" -D "$pgdir/data" -U postgres --pwfile="$pgdir/pw" \
      --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --locale=C.UTF-8 \
      >"$pgdir/initdb.log" 2>&1; then
    echo "postgres.sh: initdb failed:" >&2
    tail -n 20 "$pgdir/initdb.log" >&2
    exit 1
  fi
  # Logins over TCP from this machine only; the socket (in $pgdir) for the script itself.
  printf 'local all all trust\nhost all all 127.0.0.1/32 scram-sha-256\n' \
    > "$pgdir/data/pg_hba.conf"
  started=0
  # Another process may take the free port before the server binds it: try again.
  for _ in 1 2 3; do
    port=$(free_port)
    if launch; then started=1; break; fi
  done
  if [ "$started" != 1 ]; then show_log "the server did not start"; exit 1; fi
  as_server "$bin/psql" -X -q -h "$pgdir" -p "$port" -U postgres -d postgres \
    -v ON_ERROR_STOP=1 >/dev/null <<'SQL'
CREATE ROLE fenwold LOGIN CREATEDB CREATEROLE PASSWORD 'fw-test-pw';
CREATE DATABASE fenwold_test OWNER fenwold;
SQL
  cat > "$dir/env" <<ENV
export FENWOLD_TEST_POSTGRES_HOST=127.0.0.1
export FENWOLD_TEST_POSTGRES_PORT=$port
export FENWOLD_TEST_POSTGRES_USER=fenwold
export FENWOLD_TEST_POSTGRES_PASSWORD=fw-test-pw
export FENWOLD_TEST_POSTGRES_DATABASE=fenwold_test
export FENWOLD_TEST_POSTGRES_DIR=$dir
ENV
  cat "$dir/env"
  ;;
restart)
  pgdir=$(cat "$dir/pgdir"); port=$(setting PORT)
  stop_server
  if ! launch; then show_log "the server did not start again"; exit 1; fi
  ;;
stop)
  [ -f "$dir/pgdir" ] || exit 0
  pgdir=$(cat "$dir/pgdir")
  stop_server
  case "$pgdir" in /tmp/fenwold-pg.*) rm -rf "$pgdir" ;; esac
  ;;
*) echo "usage: $0 start|restart|stop DIR" >&2; exit 2 ;;
esac
