#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12 (run as root). Idempotent.
set -euo pipefail

packages=(build-essential cmake pkg-config git libgtest-dev googletest
          unixodbc unixodbc-dev libsqliteodbc odbc-mariadb mariadb-server mariadb-client
          odbc-postgresql postgresql libinih-dev libsystemd-dev sqlite3 procps)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # The server package must not start a system service of its own.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  # Waits for another installation that holds the package manager's lock.
  lock=(-o DPkg::Lock::Timeout=600)
  apt-get "${lock[@]}" update -qq
  apt-get "${lock[@]}" install -y -qq "${missing[@]}" >/dev/null
fi

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
