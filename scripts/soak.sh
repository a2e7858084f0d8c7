#!/usr/bin/env bash
# Fault soak: the real service against a private MariaDB, card files dropped while the
# database server is killed and restarted, the service killed and restarted, and the service
# stopped and restarted, at random moments. At the end, after the service has settled, every
# card is checked: each file tops up its own debit card by one unit and creates new cards.
#   scripts/soak.sh [--faults N] [--bin PATH/fenwold] [--seed S] [--new-cards K]
# Prints a table; exit 1 when a top-up was lost or applied twice, a card is missing, a file is
# not in the done folder or a due record is left staged.
set -euo pipefail
# shellcheck source=scripts/lib/process.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/process.sh"
# shellcheck source=scripts/lib/soak_cards.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/soak_cards.sh"
cd "$(dirname "$0")/.."
root=$(pwd)

faults=30
bin="$root/build/fenwold"
seed=${SOAK_SEED:-$$}
newcards=20
while [ $# -gt 0 ]; do
  case $1 in
    --faults) faults=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --new-cards) newcards=$2; shift 2 ;;
    *) echo "usage: $0 [--faults N] [--bin PATH] [--seed S] [--new-cards K]" >&2; exit 2 ;;
  esac
done
[ -x "$bin" ] || { echo "soak: no service binary at $bin" >&2; exit 2; }
RANDOM=$seed

work=$(mktemp -d /tmp/fenwold-soak.XXXXXX)
db=$work/db
svc_pid=0
cleanup() {
  if [ "$svc_pid" != 0 ]; then kill -9 "$svc_pid" 2>/dev/null || true; wait "$svc_pid" 2>/dev/null || true; fi
  "$root/scripts/mariadb.sh" stop "$db" >/dev/null 2>&1 || true
  if [ "${SOAK_KEEP:-0}" = 1 ]; then echo "soak: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

"$root/scripts/mariadb.sh" start "$db" >/dev/null
# shellcheck disable=SC1091
source "$db/env"
sql() { mariadb --no-defaults -uroot --socket="$FENWOLD_TEST_MARIADB_SOCKET" -N -B "$FENWOLD_TEST_MARIADB_DATABASE" "$@"; }

mkdir -p "$work/drop" "$work/done" "$work/errors" "$work/logs" "$work/out"
sql < "$root/schema/mysql.sql"
files=$faults
{
  echo "INSERT INTO settings (audits_dir, dtlfiles_dir, dtlerrors_dir) VALUES ('$work/drop', '$work/done', '$work/errors');"
  echo "INSERT INTO card_type (name, debit_flg) VALUES ('STAFF', 0), ('DEBIT', 1);"
  for ((i = 1; i <= files; i++)); do
    echo "INSERT INTO card (number, type_id, debit_left) SELECT $((900000 + i)), id, 0 FROM card_type WHERE name = 'DEBIT';"
  done
} | sql


starts=0
start_service() {
  starts=$((starts + 1))
  FENWOLD_REGISTRY="$db/registry.reg" FENWOLD_LOG_DIR="$work/logs" FENWOLD_TICK_MS=300 \
    "$bin" >"$work/out/$starts.out" 2>"$work/out/$starts.err" &
  svc_pid=$!
}
# A service that ended by itself (the database was down when it started) is started again,
# as systemd would.
ensure_service() {
  if [ "$svc_pid" = 0 ] || ! alive "$svc_pid"; then
    [ "$svc_pid" != 0 ] && { wait "$svc_pid" 2>/dev/null || true; }
    start_service
  fi
}
db_pid() { cat "$db/pid" 2>/dev/null || echo 0; }

db_kills=0; svc_kills=0; svc_stops=0; slow_stops=0; max_stop_ms=0
start_service
for ((i = 1; i <= files; i++)); do
  drop_soak_file "$i" "$newcards" "$work/drop"
  pause 10
  ensure_service
  case $((RANDOM % 3)) in
    0)
      db_kills=$((db_kills + 1))
      pid=$(db_pid)
      kill -9 "$pid" 2>/dev/null || true
      while alive "$pid"; do sleep 0.05; done
      pause 10
      "$root/scripts/mariadb.sh" restart "$db" >/dev/null
      ;;
    1)
      svc_kills=$((svc_kills + 1))
      kill -9 "$svc_pid" 2>/dev/null || true
      wait "$svc_pid" 2>/dev/null || true
      start_service
      ;;
    2)
      svc_stops=$((svc_stops + 1))
      t0=$(date +%s%N)
      kill -TERM "$svc_pid" 2>/dev/null || true
      wait "$svc_pid" 2>/dev/null || true
      ms=$((($(date +%s%N) - t0) / 1000000))
      [ "$ms" -gt "$max_stop_ms" ] && max_stop_ms=$ms
      [ "$ms" -gt 2000 ] && slow_stops=$((slow_stops + 1))
      start_service
      ;;
  esac
done

# Settle: the service runs until the drop folder is empty and nothing due is left staged.
settled=0
for _ in $(seq 1 600); do
  ensure_service
  left=$(sql -e "SELECT COUNT(*) FROM futurecard" 2>/dev/null || echo x)
  if [ "$left" = 0 ] && [ -z "$(ls -A "$work/drop")" ]; then settled=1; break; fi
  sleep 0.2
done
kill -TERM "$svc_pid" 2>/dev/null || true
wait "$svc_pid" 2>/dev/null || true
svc_pid=0

expected_new=$((files * newcards))
lost=$(sql -e "SELECT COUNT(*) FROM card WHERE number BETWEEN 900001 AND $((900000 + files)) AND debit_left = 0")
duplicated=$(sql -e "SELECT COUNT(*) FROM card WHERE number BETWEEN 900001 AND $((900000 + files)) AND debit_left > 1")
new=$(sql -e "SELECT COUNT(*) FROM card WHERE number >= 1000000")
missing=$((expected_new - new))
[ "$missing" -lt 0 ] && missing=0
in_done=$(find "$work/done" -name 'f*.csv' | wc -l)
misfiled=$((files - in_done))
left=$(sql -e "SELECT COUNT(*) FROM futurecard")
cards=$((files + new))

printf '| rounds | db kills | service kills | service stops | files | cards | lost | duplicated | misfiled | left staged | slow stops (>2 s) | longest stop |\n'
printf '|---|---|---|---|---|---|---|---|---|---|---|---|\n'
printf '| %d | %d | %d | %d | %d | %d | %d | %d | %d | %d | %d | %d ms |\n' \
  "$files" "$db_kills" "$svc_kills" "$svc_stops" "$files" "$cards" "$((lost + missing))" \
  "$duplicated" "$misfiled" "$left" "$slow_stops" "$max_stop_ms"
echo "seed $seed; settled: $settled"

if [ "$lost" != 0 ] || [ "$missing" != 0 ] || [ "$duplicated" != 0 ] || [ "$misfiled" != 0 ] ||
   [ "$left" != 0 ]; then
  echo "soak: FAILED (SOAK_KEEP=1 keeps $work for a look)" >&2
  exit 1
fi
