#!/usr/bin/env bash
# How long a stop takes on MariaDB while the service stages a large card file and while its
# pass applies many staged records. Prints a table.
#   scripts/stop_times.sh [--bin PATH/fenwold] [--staging-rows N] [--pass-rows N]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bin="$root/build/fenwold"; staging_rows=100000; pass_rows=20000
while [ $# -gt 0 ]; do
  case $1 in
    --bin) bin=$2; shift 2 ;;
    --staging-rows) staging_rows=$2; shift 2 ;;
    --pass-rows) pass_rows=$2; shift 2 ;;
    *) echo "usage: $0 [--bin PATH] [--staging-rows N] [--pass-rows N]" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d /tmp/fenwold-stop.XXXXXX)
db=$work/db
pid=0
cleanup() {
  [ "$pid" != 0 ] && { kill -9 "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
  "$root/scripts/mariadb.sh" stop "$db" >/dev/null 2>&1 || true
  [ "${STOP_KEEP:-0}" = 1 ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
"$root/scripts/mariadb.sh" start "$db" >/dev/null
# shellcheck disable=SC1091
source "$db/env"
sql() { mariadb --no-defaults -uroot --socket="$FENWOLD_TEST_MARIADB_SOCKET" -N -B "$FENWOLD_TEST_MARIADB_DATABASE" "$@"; }
mkdir -p "$work/drop" "$work/done" "$work/errors" "$work/logs"
sql < "$root/schema/mysql.sql"
sql -e "INSERT INTO settings (audits_dir, dtlfiles_dir, dtlerrors_dir) VALUES ('$work/drop', '$work/done', '$work/errors'); INSERT INTO card_type (name) VALUES ('STAFF');"

cards() {  # name first count
  awk -v first="$2" -v n="$3" 'BEGIN { for (i = 0; i < n; i++)
    printf "A,%d,STAFF,Card,0800,20240101,1800,20261231,30,,Stop,Time\r\n", first + i }' \
    > "$work/.part"
  mv "$work/.part" "$work/drop/$1"
}
start() {
  FENWOLD_REGISTRY="$db/registry.reg" FENWOLD_LOG_DIR="$work/logs" FENWOLD_TICK_MS=200 \
    "$bin" >/dev/null 2>&1 &
  pid=$!
}
stop() {  # sets took_ms; not in a subshell, which could not wait for the service
  local t0
  t0=$(date +%s%N)
  kill -TERM "$pid"
  wait "$pid" || true
  pid=0
  took_ms=$((($(date +%s%N) - t0) / 1000000))
}

# Mid-staging: the stop comes a second into the staging of the file.
start
sleep 1
cards big.csv 1000000 "$staging_rows"
sleep 1.5
stop; staging_ms=$took_ms
staging_left=$([ -f "$work/drop/big.csv" ] && echo "in the drop folder" || echo "moved")
staged=$(sql -e "SELECT COUNT(*) FROM futurecard")
said=$(grep -c "Stop requested while staging" "$work"/logs/fenwold*.log || true)
rm -f "$work/drop/big.csv"

# Mid-pass: the file is staged whole, the stop comes a second into its pass.
sql -e "DELETE FROM futurecard; DELETE FROM card;"
start
cards pass.csv 2000000 "$pass_rows"
until grep -q "Picked up" "$work"/logs/fenwold*.log 2>/dev/null; do sleep 0.05; done
sleep 1
stop; pass_ms=$took_ms
pass_left=$(sql -e "SELECT COUNT(*) FROM futurecard")

printf '| stop sent | rows | stop took | afterwards |\n|---|---|---|---|\n'
printf '| mid-staging | %d | %d ms | file %s, %s rows staged, %s "Stop requested while staging" line |\n' \
  "$staging_rows" "$staging_ms" "$staging_left" "$staged" "$said"
printf '| mid-pass | %d | %d ms | %s records stay staged |\n' "$pass_rows" "$pass_ms" "$pass_left"
