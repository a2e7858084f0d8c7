#!/usr/bin/env bash
# The Windows leg: cross-builds the Windows executables and the suites that run under Wine,
# runs those suites (the database suites on SQLite3 ODBC: Wine's ODBC32.DLL hands the calls
# to the host's unixODBC, so the host's driver serves and database paths are Unix paths), and
# smoke-tests the real service through Wine's service control manager. Leaves the release zip
# in build-windows/. Run as root on Debian 12 after scripts/deps.sh (SQLite3 ODBC driver).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
began=$(date +%s)

scripts/apt-install.sh --no-install-recommends g++-mingw-w64-x86-64 wine wine64 googletest sqlite3

echo "== Windows build"
scripts/build-windows.sh --tests
bin=$root/build-windows
version=$(sed -n 's/^project(Fenwold VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

work=$(mktemp -d /tmp/fenwold-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
export FENWOLD_TEST_TMPDIR=$work/tmp
smoke=$work/smoke
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$FENWOLD_TEST_TMPDIR"
# Every Wine call has a time limit; Wine's console tools end their lines with CR LF.
w() { local limit=$1; shift; timeout "$limit" wine "$@" | tr -d '\r'; }

service_installed=
cleanup() {
  # Wine has no graceful shutdown: stop the service before the server goes.
  if [ -n "$service_installed" ]; then
    timeout 60 wine net stop Fenwold >/dev/null 2>&1 || true
    timeout 30 wine "$smoke/bin/fenwold.exe" /uninstall /silent >/dev/null 2>&1 || true
  fi
  timeout 30 wineserver -k 2>/dev/null || true
  timeout 30 wineserver -w 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "== Windows leg FAILED: $*" >&2
  for f in "$smoke"/bin/fenwold*.log; do [ -f "$f" ] && { echo "-- $f" >&2; tr -d '\r' <"$f" >&2; }; done
  for f in "$work"/*.err; do [ -s "$f" ] && { echo "-- Wine's stderr ($f)" >&2; cat "$f" >&2; }; done
  exit 1
}

echo "== Wine prefix"
timeout 180 wineboot --init >"$work/init.err" 2>&1 || fail "the Wine prefix could not be created"
timeout 60 wineserver -w || true

# ---- The suites. What Linux alone has is filtered out: a FIFO, a user data source through
# unixODBC's ODBCINI, and the MariaDB cases.
sqlite_only='*SQLite*:*Sqlite*'
suites=(
  "card_file_test -LoadCardFile.FailsOnMissingFileFolderAndFifo"
  "sql_test *"
  "messlog_test *"
  "registry_test *"
  "scramble_test *"
  "service_host_test *"
  "odbc_connect_test $sqlite_only-*ByDataSourceName*"
  "odbc_statement_test $sqlite_only"
  "intake_staging_test $sqlite_only"
  "intake_apply_test $sqlite_only"
  "intake_encoding_test $sqlite_only"
  # Wine keeps a watched folder that is deleted until the watch lets go, without saying it is
  # about to go (Windows says so: delete pending), so a folder cannot be made again under it.
  "folder_watch_test -FolderWatch.AReplacedFolderIsWatchedAgain"
)
echo "== Test suites under Wine"
failed=0
for entry in "${suites[@]}"; do
  name=${entry%% *}
  filter=${entry#* }
  out=$work/$name.out
  status=0
  timeout 300 wine "$bin/$name.exe" --gtest_brief=1 "--gtest_filter=$filter" >"$out" 2>&1 || status=$?
  passed=$(tr -d '\r' <"$out" | sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p')
  if [ "$status" -ne 0 ] || [ -z "$passed" ] || [ "$passed" -eq 0 ] || grep -q 'SKIPPED' "$out"; then
    echo "FAILED  $name (exit $status)"
    tr -d '\r' <"$out"
    failed=1
  else
    echo "passed  $name ($passed tests)"
  fi
done
[ "$failed" -eq 0 ] || fail "test suites"

# ---- Smoke test of the real service.
echo "== Service smoke test"
mkdir -p "$smoke/bin" "$smoke/drop" "$smoke/done" "$smoke/errors"
cp "$bin/fenwold.exe" "$smoke/bin/"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
sqlite3 "$smoke/cards.db" <schema/sqlite.sql
sqlite3 "$smoke/cards.db" >/dev/null <<SQL
PRAGMA journal_mode=WAL;
INSERT INTO settings (audits_dir, dtlfiles_dir, dtlerrors_dir)
  VALUES ('$(winpath "$smoke/drop")', '$(winpath "$smoke/done")', '$(winpath "$smoke/errors")');
INSERT INTO card_type (name, monthly_flg, debit_flg, global_expiry) VALUES ('STAFF', 0, 0, 0);
SQL

# Services get the system environment, read by services.exe when the prefix boots: set the
# pickup interval there, then restart the prefix.
w 30 reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
  /v FENWOLD_TICK_MS /t REG_SZ /d 1000 /f >/dev/null || fail "reg add FENWOLD_TICK_MS"
timeout 30 wineserver -k || true
timeout 60 wineserver -w || true
# Services die as soon as no ordinary Wine program runs, unless the server stays; the booting
# command's stderr is inherited by services.exe and must go to a file.
timeout 30 wineserver -p || fail "wineserver -p"
timeout 120 wine cmd /c exit 2>"$work/boot.err" || fail "the prefix did not boot"

key='HKLM\Software\Quorvane\Kelvo'
while IFS='|' read -r name value; do
  w 30 reg add "$key" /v "$name" /t REG_SZ /d "$value" /f /reg:32 >/dev/null || fail "reg add $name"
done <<EOF
DSNName|
Database|$smoke/cards.db
User|
Pass|
ODBCDriver|SQLite3
ODBCOptions|JournalMode=WAL;Timeout=10000
EOF

w 60 "$smoke/bin/fenwold.exe" /install /silent >"$work/install.out" 2>"$work/install.err" ||
  fail "/install: $(cat "$work/install.err")"
service_installed=1
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Fenwold'
w 30 reg query "$source_key" /v EventMessageFile | grep -qi 'fenwold\.exe' ||
  fail "/install registered no event source"

w 60 net start Fenwold >"$work/start.out" 2>>"$work/boot.err" || fail "net start: $(cat "$work/start.out")"

# Waits up to $1 seconds for the command in the other arguments to succeed.
wait_for() {
  local limit=$1; shift
  for _ in $(seq 1 $((limit * 10))); do "$@" && return 0; sleep 0.1; done
  return 1
}
log=$smoke/bin/fenwold$(($(date +%w) + 1)).log
printf 'A,4711,STAFF,Smoke test,0800,20240101,1800,20991231,0,,Probe,Wine\r\n' >"$smoke/.cards.part"
mv "$smoke/.cards.part" "$smoke/drop/cards.csv"
wait_for 30 test -f "$smoke/done/cards.csv" || fail "the card file was not moved to done"
wait_for 30 sh -c "[ \"\$(sqlite3 '$smoke/cards.db' 'SELECT last_name FROM card WHERE number = 4711')\" = Probe ]" ||
  fail "the card was not applied"
[ -z "$(ls -A "$smoke/drop")" ] || fail "the drop folder is not empty"

head -n 1 "$log" | tr -d '\r' | grep -qx "\.\{21\} - Z:.*\\\\fenwold\.exe   Version - $version" ||
  fail "the log does not begin with the separator line and version $version"
grep -q ' - Start Log' "$log" || fail "no Start Log"
grep -q ' - Picked up .*cards\.csv' "$log" || fail "no Picked up line"

# Pause and continue through the service control manager (Wine's sc has neither command). A
# paused service stands still on its service thread, while its pickups go on.
state_is() { [ "$(w 30 sc query Fenwold | sed -n 's/.*STATE *: *\([0-9]*\).*/\1/p')" = "$1" ]; }
w 30 "$bin/scm_control.exe" Fenwold pause >/dev/null || fail "pause was refused"
wait_for 10 state_is 7 || fail "the service did not report paused"
printf 'A,4712,STAFF,Smoke test,0800,20240101,1800,20991231,0,,Paused,Wine\r\n' >"$smoke/.more.part"
mv "$smoke/.more.part" "$smoke/drop/more.csv"
wait_for 30 test -f "$smoke/done/more.csv" || fail "no pickup while paused"
w 30 "$bin/scm_control.exe" Fenwold continue >/dev/null || fail "continue was refused"
wait_for 10 state_is 4 || fail "the service did not report running after continue"

w 60 net stop Fenwold >"$work/stop.out" 2>>"$work/boot.err" || fail "net stop: $(cat "$work/stop.out")"
wait_for 30 grep -q ' - End Log' "$log" || fail "no End Log after net stop"

w 60 "$smoke/bin/fenwold.exe" /uninstall /silent >/dev/null 2>"$work/uninstall.err" ||
  fail "/uninstall: $(cat "$work/uninstall.err")"
service_installed=
if w 30 reg query "$source_key" >/dev/null 2>&1; then fail "/uninstall left the event source"; fi
status=0
w 60 "$smoke/bin/fenwold.exe" /uninstall /silent >/dev/null 2>"$work/again.err" || status=$?
[ "$status" -eq 1 ] || fail "a second /uninstall exited with $status"
tr -d '\r' <"$work/again.err" | grep -q 'failed to uninstall with error: "System Error.  Code: 1060\.' ||
  fail "a second /uninstall said: $(cat "$work/again.err")"

echo "== Windows leg passed in $(($(date +%s) - began)) s"
