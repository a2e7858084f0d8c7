#!/usr/bin/env bash
# A private MariaDB server for tests: own data directory and socket under /tmp, TCP on
# 127.0.0.1 at a free port. Never a system service.
#   scripts/mariadb.sh start DIR     a fresh server; prints the shell exports of its details
#                                    (also written to DIR/env), and writes DIR/registry.reg,
#                                    a registry file that points the service at it
#   scripts/mariadb.sh restart DIR   the same data directory and port again (after a kill)
#   scripts/mariadb.sh stop DIR      stops the server by its PID
# FENWOLD_MARIADB_SERVER_OPTIONS: more mariadbd options for a server started with it (e.g.
# "--transaction-isolation=SERIALIZABLE"); a restart keeps them.
set -euo pipefail
# shellcheck source=scripts/lib/process.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/process.sh"
# shellcheck source=scripts/lib/mariadb_test.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/mariadb_test.sh"
cmd=${1:?start|restart|stop}; dir=${2:?data folder}

sql() { mariadb --no-defaults -uroot --socket="$dir/sock" "$@"; }

# Starts mariadbd on $dir/data at $port and waits until it answers; 1 when it does not.
launch() {
  rm -f "$dir/pid"
  local extra=()
  if [ -f "$dir/server-options" ]; then read -r -a extra < "$dir/server-options" || true; fi
  mariadbd --no-defaults --user=root --datadir="$dir/data" --socket="$dir/sock" \
    --port="$port" --bind-address=127.0.0.1 --pid-file="$dir/pid" \
    --log-error="$dir/error.log" --skip-name-resolve "${extra[@]}" >/dev/null 2>&1 &
  local child=$!
  for _ in $(seq 1 150); do
    if sql -e 'SELECT 1' >/dev/null 2>&1; then return 0; fi
    alive "$child" || break
    sleep 0.2
  done
  kill "$child" 2>/dev/null || true
  return 1
}

stop_server() {
  [ -f "$dir/pid" ] || return 0
  local pid
  pid=$(cat "$dir/pid")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 300); do alive "$pid" || break; sleep 0.1; done
  if alive "$pid"; then kill -9 "$pid" 2>/dev/null || true; sleep 0.5; fi
  rm -f "$dir/pid"
}

case "$cmd" in
start)
  rm -rf "$dir"; mkdir -p "$dir"
  printf '%s\n' "${FENWOLD_MARIADB_SERVER_OPTIONS:-}" > "$dir/server-options"
  # Installs running at the same time collide on the server's temporary tables in /tmp
  # (tests start private servers in parallel), so they take turns.
  if ! flock /tmp/fenwold-mariadb-install.lock \
      mariadb-install-db --no-defaults --user=root --datadir="$dir/data" \
      --auth-root-authentication-method=socket --skip-test-db >"$dir/install.log" 2>&1; then
    echo "mariadb.sh: mariadb-install-db failed:" >&2
    tail -n 20 "$dir/install.log" >&2
    exit 1
  fi
  started=0
  # Another process may take the free port before the server binds it: try again.
  for _ in 1 2 3; do
    port=$(free_port)
    if launch; then started=1; break; fi
  done
  if [ "$started" != 1 ]; then
    echo "mariadb.sh: the server did not start; $dir/error.log says:" >&2
    tail -n 20 "$dir/error.log" >&2 || true
    exit 1
  fi
  sql <<SQL
CREATE DATABASE fenwold_test;
CREATE USER 'fenwold'@'localhost' IDENTIFIED BY 'fw-test-pw';
CREATE USER 'fenwold'@'127.0.0.1' IDENTIFIED BY 'fw-test-pw';
-- WITH GRANT OPTION: a test makes a user of its own that may not create tables.
GRANT ALL ON *.* TO 'fenwold'@'localhost' WITH GRANT OPTION;
GRANT ALL ON *.* TO 'fenwold'@'127.0.0.1' WITH GRANT OPTION;
SQL
  mariadb_test_env "$port" "$dir/sock" "$dir" > "$dir/env"
  mariadb_registry "$port" > "$dir/registry.reg"
  cat "$dir/env"
  ;;
restart)
  port=$(sed -n 's/^export FENWOLD_TEST_MARIADB_PORT=//p' "$dir/env")
  stop_server
  if ! launch; then
    echo "mariadb.sh: the server did not start again; $dir/error.log says:" >&2
    tail -n 20 "$dir/error.log" >&2 || true
    exit 1
  fi
  ;;
stop)
  stop_server
  ;;
*) echo "usage: $0 start|restart|stop DIR" >&2; exit 2 ;;
esac
