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

scripts/apt-install.sh --no-install-recommends g++-mingw-w64-x86-64 wine wine64 googletest sqlite3 wixl

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
# Pipes into grep read to the end (no -q): with pipefail, a writer cut off early would fail.
# Every Wine call has a time limit; Wine's console tools end their lines with CR LF. Its output
# goes through a file, never a pipe: a service that a Wine command starts inherits the pipe and
# keeps it open, and whoever reads it waits for ever.
w() {
  local limit=$1 status=0; shift
  timeout "$limit" wine "$@" >"$work/w.out" 2>"$work/w.err" </dev/null || status=$?
  tr -d '\r' <"$work/w.out"
  cat "$work/w.err" >&2
  return "$status"
}

winpath() { printf 'Z:%s' "${1//\//\\}"; }

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

# A fresh prefix now and then fails to boot (wineboot exits 1, "ShellExecuteEx failed", with no
# 32-bit loader) where the next one boots: its exit status is not trusted, a command run in it
# is; one more prefix is tried.
prefix_works() {
  rm -f "$work/ok.out"
  timeout 180 wineboot --init >"$work/init.err" 2>&1 </dev/null || true
  timeout 60 wineserver -w || true
  timeout 60 wine cmd /c echo ok >"$work/ok.out" 2>>"$work/init.err" </dev/null || true
  timeout 60 wineserver -w || true
  [ "$(tr -d '\r' <"$work/ok.out" 2>/dev/null)" = ok ]
}
echo "== Wine prefix"
if ! prefix_works; then
  echo "the new Wine prefix does not work ($(tail -n 1 "$work/init.err")); a second one"
  timeout 30 wineserver -k 2>/dev/null || true
  timeout 30 wineserver -w 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  prefix_works || fail "the Wine prefix could not be created, twice"
fi

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
  "service_account_test *"
  "odbc_connect_test $sqlite_only-*ByDataSourceName*"
  "odbc_statement_test $sqlite_only"
  "intake_staging_test $sqlite_only"
  "intake_apply_test $sqlite_only"
  "intake_encoding_test $sqlite_only-*BeyondUFFFF*"
  "card_encoding_test *"
  "card_stream_test *"
  "utf16_test *"
  "arguments_test *"
  "file_names_test *"
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

# ---- Console output. Wine gives a program a console only on a terminal: `script` lends one,
# so the suite's console case writes through WriteConsoleW and reads the cells back.
echo "== Console output"
# The console's own escapes come between gtest's words: the verdict is read from its report.
timeout 120 script -qec "wine '$bin/console_test.exe' --gtest_output='xml:$(winpath "$work/console_test.xml")'" \
  "$work/console_test.out" >/dev/null 2>&1 </dev/null ||
  fail "console_test in a terminal: $(tr -d '\r' <"$work/console_test.out")"
grep -q '<testsuites tests="2" failures="0" disabled="0" errors="0"' "$work/console_test.xml" &&
  ! grep -q 'result="skipped"' "$work/console_test.xml" ||
  fail "console_test did not pass both cases: $(cat "$work/console_test.xml")"
# Redirected, fenwoldctl.exe writes the names as UTF-8 bytes, the same as the Linux build
# (apart from the C runtime's CR LF).
names="Ёлкина-Ζωή-山田-😀"
mkdir -p "$work/names"
printf 'A,4801,STAFF,%s,0800,20240101,1800,20991231,0,,Zoë,%s\r\n' "$names" "$names" \
  >"$work/names/$names.csv"
(cd "$work/names" && LC_ALL=C.UTF-8 timeout 60 wine "$bin/fenwoldctl.exe" validate "$names.csv" \
  >windows.out 2>"$work/validate.err" </dev/null) || fail "fenwoldctl.exe validate: $(cat "$work/validate.err")"
tr -d '\r' <"$work/names/windows.out" >"$work/names/windows.txt"
grep -q "^$names.csv\$" "$work/names/windows.txt" && [ "$(grep -c "$names" "$work/names/windows.txt")" -ge 2 ] ||
  fail "fenwoldctl.exe did not print the names as UTF-8: $(od -c "$work/names/windows.out" | head -n 8)"
if [ -x "$root/build/fenwoldctl" ]; then
  (cd "$work/names" && "$root/build/fenwoldctl" validate "$names.csv" >linux.txt 2>&1) || true
  cmp -s "$work/names/linux.txt" "$work/names/windows.txt" ||
    fail "fenwoldctl validate prints other bytes on Windows: $(diff "$work/names/linux.txt" "$work/names/windows.txt")"
fi
echo "console: names shown on a code-page-437 console; redirected output is UTF-8, as on Linux"

# ---- Smoke test of the real service.
echo "== Service smoke test"
mkdir -p "$smoke/bin" "$smoke/drop" "$smoke/done" "$smoke/errors"
cp "$bin/fenwold.exe" "$smoke/bin/"
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
# command's output is inherited by services.exe and must go to files.
timeout 30 wineserver -p || fail "wineserver -p"
timeout 120 wine cmd /c exit >"$work/boot.out" 2>"$work/boot.err" </dev/null || fail "the prefix did not boot"

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
w 30 reg query "$source_key" /v EventMessageFile | grep -i 'fenwold\.exe' >/dev/null ||
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

head -n 1 "$log" | tr -d '\r' | grep -x "\.\{21\} - Z:.*\\\\fenwold\.exe   Version - $version" >/dev/null ||
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
tr -d '\r' <"$work/again.err" | grep 'failed to uninstall with error: "System Error.  Code: 1060\.' >/dev/null ||
  fail "a second /uninstall said: $(cat "$work/again.err")"
status=0
w 60 "$smoke/bin/fenwold.exe" /configure /silent >/dev/null 2>"$work/configure.err" || status=$?
[ "$status" -eq 1 ] &&
  grep 'failed to configure with error: "System Error.  Code: 1060\.' "$work/configure.err" >/dev/null ||
  fail "/configure without the service: exit $status, $(cat "$work/configure.err")"

# ---- The installer package: installed into the prefix, a card file through the installed
# service under its own account, a major upgrade that keeps the settings, and uninstalls with
# and without them.
echo "== Installer package"
msi_began=$(date +%s)
msi=$bin/fenwold-$version-win64.msi
[ -f "$msi" ] || fail "no installer package $msi"
IFS=. read -r major minor patch _ <<<"$version"
next=$major.$minor.$((patch + 1)).0
sed "s/$version/$next/g" "$bin/fenwold.wxs" >"$bin/fenwold-next.wxs"
(cd "$bin" && wixl -a x64 -o "$work/fenwold-$next.msi" fenwold-next.wxs) >"$work/wixl.out" 2>&1 ||
  fail "wixl: $(cat "$work/wixl.out")"
rm -f "$bin/fenwold-next.wxs"
installed="$WINEPREFIX/drive_c/Program Files/Fenwold"
service_key='HKLM\SYSTEM\CurrentControlSet\Services\Fenwold'
app_source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\fenwold.exe'
msi_runs=0
msiexec() {
  msi_runs=$((msi_runs + 1))
  local log=$work/msiexec-$msi_runs.log
  w 300 msiexec "$@" /qn /l*v "$(winpath "$log")" >/dev/null 2>>"$work/msiexec.err" ||
    fail "msiexec $*: $(tr -d '\r\0' <"$log" 2>/dev/null | grep -a -m 5 -i 'error\|return value 3')"
}
setting() { w 30 reg query "$key" /v "$1" /reg:32 2>/dev/null | sed -n "s/^ *$1 *REG_[A-Z]* *//p"; }

# A machine without settings gets the commented sample.
w 30 reg delete "$key" /f /reg:32 >/dev/null 2>&1 || fail "reg delete $key"
msiexec /i "$(winpath "$msi")"
service_installed=1
[ -f "$installed/fenwold.exe" ] && [ -f "$installed/fenwoldctl.exe" ] && [ -f "$installed/fenwold.reg" ] ||
  fail "the package did not install its files"
cmp -s "$installed/fenwold-dashboard.json" "$root/packaging/grafana/fenwold-dashboard.json" &&
  cmp -s "$installed/fenwold-rules.yml" "$root/packaging/prometheus/fenwold-rules.yml" ||
  fail "the package did not install the dashboard and the alert rules as shipped"
state_is 1 || fail "the package left the service other than stopped"
# What /CONFIGURE sets that Wine keeps: the account and the quoted program path (Wine accepts
# the recovery actions and access lists, and keeps neither).
w 30 reg query "$service_key" /v ObjectName | grep 'NT SERVICE\\Fenwold' >/dev/null ||
  fail "the service does not run as NT SERVICE\\Fenwold"
w 30 reg query "$service_key" /v ImagePath | grep '"C:\\Program Files\\Fenwold\\fenwold\.exe"' >/dev/null ||
  fail "the service's program path is not quoted: $(w 30 reg query "$service_key" /v ImagePath)"
for k in "$source_key" "$app_source_key"; do
  w 30 reg query "$k" /v EventMessageFile | grep -i 'Program Files\\Fenwold\\fenwold\.exe' >/dev/null ||
    fail "the package registered no event source $k"
done
[ "$(setting ODBCDriver)" = "MariaDB ODBC 3.1 Driver" ] || fail "no sample settings"

# The site's settings, then card files through the installed service.
for pair in "DSNName|" "Database|$smoke/cards.db" "ODBCDriver|SQLite3" \
  "ODBCOptions|JournalMode=WAL;Timeout=10000"; do
  w 30 reg add "$key" /v "${pair%%|*}" /t REG_SZ /d "${pair#*|}" /f /reg:32 >/dev/null ||
    fail "reg add ${pair%%|*}"
done
# $1: the card number.
stage_through_package() {
  w 60 net start Fenwold >"$work/start.out" 2>>"$work/boot.err" || fail "net start: $(cat "$work/start.out")"
  printf 'A,%s,STAFF,Package,0800,20240101,1800,20991231,0,,Package,Wine\r\n' "$1" >"$smoke/.pkg.part"
  mv "$smoke/.pkg.part" "$smoke/drop/pkg$1.csv"
  wait_for 30 test -f "$smoke/done/pkg$1.csv" || fail "the installed service did not stage pkg$1.csv"
  wait_for 30 sh -c "[ \"\$(sqlite3 '$smoke/cards.db' 'SELECT last_name FROM card WHERE number = $1')\" = Package ]" ||
    fail "the installed service did not apply card $1"
  w 60 net stop Fenwold >"$work/stop.out" 2>>"$work/boot.err" || fail "net stop: $(cat "$work/stop.out")"
  wait_for 30 state_is 1 || fail "the installed service did not stop"
  grep -q ' - Picked up .*pkg'"$1"'\.csv' "$installed/fenwold$(($(date +%w) + 1)).log" ||
    fail "the installed service's log beside it has no Picked up line for pkg$1.csv"
}
stage_through_package 4713

# A major upgrade replaces the programs and keeps the settings.
msiexec /i "$(winpath "$work/fenwold-$next.msi")"
w 30 reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s >"$work/products.out" ||
  fail "reg query of the installed products"
[ "$(grep -c 'KELVO Fenwold' "$work/products.out")" -eq 1 ] && grep -q "DisplayVersion.*$next" "$work/products.out" ||
  fail "after the upgrade: $(grep -A3 'KELVO Fenwold' "$work/products.out")"
[ "$(setting ODBCDriver)" = SQLite3 ] || fail "the upgrade did not keep the settings"
w 30 reg query "$service_key" /v ObjectName | grep 'NT SERVICE\\Fenwold' >/dev/null ||
  fail "after the upgrade the service does not run as NT SERVICE\\Fenwold"
stage_through_package 4714

# Uninstalling removes the service, its event sources and the programs; the settings stay
# unless asked.
msiexec /x "$(winpath "$work/fenwold-$next.msi")"
service_installed=
w 30 reg query "$service_key" >/dev/null 2>&1 && fail "the uninstall left the service"
for k in "$source_key" "$app_source_key"; do
  w 30 reg query "$k" >/dev/null 2>&1 && fail "the uninstall left the event source $k"
done
[ ! -e "$installed/fenwold.exe" ] && [ ! -e "$installed/fenwoldctl.exe" ] && [ ! -e "$installed/fenwold-dashboard.json" ] ||
  fail "the uninstall left the programs or the dashboard"
[ "$(setting ODBCDriver)" = SQLite3 ] || fail "the uninstall removed the settings"
msiexec /i "$(winpath "$work/fenwold-$next.msi")"
service_installed=1
msiexec /x "$(winpath "$work/fenwold-$next.msi")" REMOVESETTINGS=1
service_installed=
[ -z "$(setting ODBCDriver)" ] && [ -z "$(setting Database)" ] || fail "REMOVESETTINGS=1 kept the settings"
echo "installer package: install, upgrade, uninstalls in $(($(date +%s) - msi_began)) s"

# ---- The same card files through Linux and Windows on every database (its own script).
scripts/test-differential.sh "$work/differential" || fail "Linux and Windows differ on the card files"

echo "== Windows leg passed in $(($(date +%s) - began)) s"
