#!/usr/bin/env bash
# Builds the benchmarks, starts a private MariaDB and a private PostgreSQL for them, runs every
# bench binary (each prints its table) and stops the servers. Run as root on Debian 12, on a quiet machine: the
# numbers are only as steady as the machine is idle.
#   scripts/bench.sh [BENCH_NAME...]    default: all of bench/*.cpp
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh
build="$root/build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

if [ $# -gt 0 ]; then
  benches=("$@")
else
  benches=()
  for src in "$root"/bench/*.cpp; do benches+=("$(basename "$src" .cpp)"); done
fi
cmake --build "$build" -j "$(nproc)" --target "${benches[@]}"

dbdir=/tmp/fenwold-bench-mariadb.$$
pgdir=/tmp/fenwold-bench-postgres.$$
odbcdir=/tmp/fenwold-bench-odbc.$$
cleanup() {
  "$root/scripts/mariadb.sh" stop "$dbdir" || true
  "$root/scripts/postgres.sh" stop "$pgdir" || true
  rm -rf "$dbdir" "$pgdir" "$odbcdir"
}
trap cleanup EXIT
# psqlODBC's CommLog off, as in the tests.
mkdir -p "$odbcdir"
sed 's/^[[:space:]]*CommLog[[:space:]]*=.*/CommLog=0/' /etc/odbcinst.ini > "$odbcdir/odbcinst.ini"
export ODBCSYSINI=$odbcdir
"$root/scripts/mariadb.sh" start "$dbdir" >/dev/null
"$root/scripts/postgres.sh" start "$pgdir" >/dev/null
# shellcheck disable=SC1091
source "$dbdir/env"
# shellcheck disable=SC1091
source "$pgdir/env"

status=0
for b in "${benches[@]}"; do
  echo "== $b"
  "$build/$b" || status=1
  echo
done
exit $status
