#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12 (run as root). Idempotent.
set -euo pipefail

# prometheus for promtool and jq for the dashboard check (ops_files_test).
"$(dirname "$0")/apt-install.sh" \
  build-essential cmake pkg-config git libgtest-dev googletest \
  unixodbc unixodbc-dev libsqliteodbc odbc-mariadb mariadb-server mariadb-client \
  odbc-postgresql postgresql libinih-dev libsystemd-dev sqlite3 procps bindfs \
  prometheus jq

# The packages register their drivers; register them here if they did not.
register() {  # name library
  if ! odbcinst -q -d -n "$1" >/dev/null 2>&1; then
    printf '[%s]\nDescription=%s\nDriver=%s\n' "$1" "$1" "$2" > /tmp/fenwold-odbcinst.$$
    odbcinst -i -d -f /tmp/fenwold-odbcinst.$$ >/dev/null
    rm -f /tmp/fenwold-odbcinst.$$
  fi
}
register "SQLite3" libsqlite3odbc.so
register "MariaDB Unicode" libmaodbc.so
register "PostgreSQL Unicode" psqlodbcw.so
