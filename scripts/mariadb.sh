#!/usr/bin/env bash
# A private MariaDB server for tests: own data directory and socket under /tmp, TCP on
# 127.0.0.1 at a free port. Never a system service.
#   scripts/mariadb.sh start DIR   prints the shell exports of the connection details
#   scripts/mariadb.sh stop DIR    stops the server by its PID
set -euo pipefail
cmd=${1:?start|stop}; dir=${2:?data folder}

free_port() {
  python3 - <<'PY' 2>/dev/null || echo $((20000 + RANDOM % 20000))
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()
PY
}

case "$cmd" in
start)
  rm -rf "$dir"; mkdir -p "$dir"
  mariadb-install-db --no-defaults --user=root --datadir="$dir/data" \
    --auth-root-authentication-method=socket --skip-test-db >"$dir/install.log" 2>&1
  port=$(free_port)
  mariadbd --no-defaults --user=root --datadir="$dir/data" --socket="$dir/sock" \
    --port="$port" --bind-address=127.0.0.1 --pid-file="$dir/pid" \
    --log-error="$dir/error.log" --skip-name-resolve >/dev/null 2>&1 &
  for _ in $(seq 1 100); do
    mariadb --no-defaults -uroot --socket="$dir/sock" -e 'SELECT 1' >/dev/null 2>&1 && break
    sleep 0.2
  done
  mariadb --no-defaults -uroot --socket="$dir/sock" <<SQL
CREATE DATABASE fenwold_test;
CREATE USER 'fenwold'@'localhost' IDENTIFIED BY 'fw-test-pw';
CREATE USER 'fenwold'@'127.0.0.1' IDENTIFIED BY 'fw-test-pw';
GRANT ALL ON *.* TO 'fenwold'@'localhost';
GRANT ALL ON *.* TO 'fenwold'@'127.0.0.1';
SQL
  cat > "$dir/env" <<ENV
export FENWOLD_TEST_MARIADB_HOST=127.0.0.1
export FENWOLD_TEST_MARIADB_PORT=$port
export FENWOLD_TEST_MARIADB_SOCKET=$dir/sock
export FENWOLD_TEST_MARIADB_USER=fenwold
export FENWOLD_TEST_MARIADB_PASSWORD=fw-test-pw
export FENWOLD_TEST_MARIADB_DATABASE=fenwold_test
export FENWOLD_TEST_MARIADB_DIR=$dir
ENV
  cat "$dir/env"
  ;;
stop)
  if [ -f "$dir/pid" ]; then
    pid=$(cat "$dir/pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  ;;
*) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
