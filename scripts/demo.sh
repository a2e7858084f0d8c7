#!/usr/bin/env bash
# The main job on the embedded default: the Fenwold service itself, in the foreground, on an
# SQLite card database through the SQLite3 ODBC driver. It sets up demo/ (database, registry
# file, drop/done/errors folders), drops the sample card files, and shows files moving, cards
# appearing and the log growing until Ctrl-C. Run as root on Debian 12; safe to run again
# (demo/ is made afresh each time).
#   DEMO_TICK_MS  pickup interval (default 3000; the service's own default is 25000)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
demo=$root/demo
tick=${DEMO_TICK_MS:-3000}

scripts/deps.sh
echo "Building..."
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target fenwold fenwoldctl >/dev/null
bin=$root/build/fenwold

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
cards() {
  sqlite3 -header -column "$demo/cards.db" \
    "SELECT c.number, t.name AS type, p.name AS grp, c.debit_left AS debit,
            substr(c.start_dt, 1, 10) AS start, substr(c.exp_iry, 1, 19) AS expires,
            c.last_name, c.descr
       FROM card c LEFT JOIN card_type t ON t.id = c.type_id
                   LEFT JOIN card_pool p ON p.id = c.group_id
      ORDER BY c.number"
}
folders() {
  for f in drop done errors; do printf '  %-7s %s\n' "$f:" "$(ls -A "$demo/$f" | tr '\n' ' ')"; done
}
# Waits until the drop folder is empty (the files were picked up), at most 60 s.
picked_up() {
  for _ in $(seq 1 600); do
    [ -z "$(ls -A "$demo/drop")" ] && return 0
    sleep 0.1
  done
  echo "  (still waiting for: $(ls -A "$demo/drop"))"
}

say "Setting up $demo"
rm -rf "$demo"
mkdir -p "$demo/drop" "$demo/done" "$demo/errors" "$demo/log"
sqlite3 "$demo/cards.db" <schema/sqlite.sql
sqlite3 "$demo/cards.db" >/dev/null <<SQL
PRAGMA journal_mode=WAL;
INSERT INTO settings (audits_dir, dtlfiles_dir, dtlerrors_dir)
  VALUES ('$demo/drop', '$demo/done', '$demo/errors');
INSERT INTO card_type (name, monthly_flg, debit_flg, global_expiry) VALUES
  ('STAFF', 0, 0, 0), ('MONTHLY', 1, 0, 0), ('DEBIT', 0, 1, 0), ('VISITOR', 0, 0, 0),
  ('INACTIVE', 0, 0, 0);
INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('Blue Lot', 40, 3);
-- Two cards that the sample file changes: a debit card that is topped up, and a staff card
-- that is reported lost.
INSERT INTO card (number, type_id, group_id, debit_left, start_dt, exp_iry, descr, last_name)
  VALUES (100236, 3, 1, 120, '2024-01-01 00:00:00', '2027-12-31 23:59:59', 'Pay as you go', 'Moss'),
         (100238, 1, 1, 35, '2024-01-01 00:00:00', '2026-12-31 23:59:59', 'Night desk', 'Berg');
SQL
echo "  card database  demo/cards.db (schema/sqlite.sql, card types, one group, two cards)"

cat >"$demo/registry.reg" <<REG
Windows Registry Editor Version 5.00

; Where Fenwold finds its card database: SQLite through the SQLite3 ODBC driver.
; WAL journal: the future-card pass runs many times faster than with SQLite's default.
[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Kelvo]
"DSNName"=""
"Database"="$demo/cards.db"
"User"=""
"Pass"=""
"ODBCDriver"="SQLite3"
"ODBCOptions"="JournalMode=WAL;Timeout=10000"
REG
echo "  registry file  demo/registry.reg"
echo "  folders        demo/drop -> demo/done or demo/errors"

export FENWOLD_REGISTRY=$demo/registry.reg
export FENWOLD_LOG_DIR=$demo/log
export FENWOLD_TICK_MS=$tick

say "Starting fenwold (a pickup every $((tick / 1000)) s; the service's default is 25 s)"
"$bin" &
pid=$!
tailer=
stop() {
  trap - INT TERM
  echo
  say "Stopping fenwold (SIGTERM)"
  kill -TERM "$pid" 2>/dev/null || true
  status=0
  wait "$pid" || status=$?
  [ -n "$tailer" ] && kill "$tailer" 2>/dev/null
  echo "fenwold exited with status $status. The log ends:"
  tail -n 3 "$demo"/log/fenwold*.log | sed 's/^/  /'
  exit 0
}
trap stop INT TERM
sleep 1
if ! kill -0 "$pid" 2>/dev/null; then
  wait "$pid" || true
  echo "fenwold did not start; its log:"
  cat "$demo"/log/fenwold*.log 2>/dev/null || true
  exit 1
fi
# One file per weekday, Sunday = 1; it appears with the first line written.
log=$demo/log/fenwold$(($(date +%w) + 1)).log
echo "  pid $pid, log $log"
echo "  signals: kill -USR1 $pid pauses, -USR2 continues, -TERM (or Ctrl-C) stops"
say "The log as it grows"
tail -n +1 -F --pid="$pid" "$log" 2>/dev/null | sed -u 's/\r$//; s/^/  log | /' &
tailer=$!
sleep 1

say "Dropping groups.csv (card groups)"
cp scripts/samples/groups.csv "$demo/drop/"
picked_up
folders

say "Dropping cards.csv (new cards, a top-up, a lost card) and bad_number.csv (one bad line)"
cp scripts/samples/cards.csv scripts/samples/bad_number.csv "$demo/drop/"
picked_up
sleep 1
folders
say "The card table (sqlite3 demo/cards.db 'SELECT * FROM card')"
cards

say "One more file, written now: two visitors' cards for next week"
next=$(date -d '+7 days' +%Y%m%d)
printf 'A,200001,VISITOR,Auditor,0900,%s,1700,%s,0,Blue Lot,Quist,Pia\r\nA,200002,VISITOR,Auditor,0900,%s,1700,%s,0,Blue Lot,Roe,Ian\r\n' \
  "$next" "$next" "$next" "$next" >"$demo/.visitors.part"
mv "$demo/.visitors.part" "$demo/drop/visitors.csv"
picked_up
sleep 1
folders
cards

say "Fenwold keeps running: put *.csv files into demo/drop and watch them move. Ctrl-C stops it."
cat <<EOF
  card table:  sqlite3 -header -column demo/cards.db 'SELECT number, type_id, group_id, debit_left, exp_iry, last_name FROM card'
  staged:      sqlite3 demo/cards.db 'SELECT id, command, number, start_dt FROM futurecard'
  log:         $log
EOF
wait "$pid" || true
[ -n "$tailer" ] && kill "$tailer" 2>/dev/null
