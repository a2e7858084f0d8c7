#!/usr/bin/env bash
# The differential: one set of card files (scripts/differential-cards.sh) through the Linux
# build (build/fenwoldctl scan) and through the Windows build under Wine (fenwoldctl.exe scan),
# each on a fresh database with the same rows, on SQLite, MariaDB and PostgreSQL (and SQLite
# once more with Windows-1250 as the legacy code page). Fails on any difference in the tables,
# the folders, the log lines and the scan's own output (timestamps and paths normalised), and
# when the Linux side lost a character. Prints the table files x database x same.
#
#   scripts/test-differential.sh WORKDIR
# Needs build/fenwoldctl and build-windows/fenwoldctl.exe, a booted $WINEPREFIX, the private
# servers' FENWOLD_TEST_MARIADB_* and FENWOLD_TEST_POSTGRES_* and $ODBCSYSINI (scripts/test.sh
# starts them and exports these before scripts/test-windows.sh calls this script).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$1
began=$(date +%s)
linux_ctl=$root/build/fenwoldctl
windows_ctl=$root/build-windows/fenwoldctl.exe
legs=(sqlite mariadb postgres sqlite-1250)

fail() { echo "== differential FAILED: $*" >&2; exit 1; }
[ -x "$linux_ctl" ] || fail "no $linux_ctl (build the Linux fenwoldctl first)"
[ -f "$windows_ctl" ] || fail "no $windows_ctl (scripts/build-windows.sh)"
[ -n "${WINEPREFIX:-}" ] || fail "WINEPREFIX is not set"
for v in FENWOLD_TEST_MARIADB_PORT FENWOLD_TEST_MARIADB_SOCKET FENWOLD_TEST_POSTGRES_PORT; do
  [ -n "${!v:-}" ] || fail "$v is not set: the MariaDB and PostgreSQL servers of scripts/test.sh are needed"
done
rm -rf "$work"
mkdir -p "$work"

winpath() { printf 'Z:%s' "${1//\//\\}"; }
maria() { mariadb --no-defaults --default-character-set=utf8mb4 -uroot --socket="$FENWOLD_TEST_MARIADB_SOCKET" "$@"; }
pg() {
  PGOPTIONS=--client-min-messages=warning PGPASSWORD=$FENWOLD_TEST_POSTGRES_PASSWORD psql -X -q -v ON_ERROR_STOP=1 -h "$FENWOLD_TEST_POSTGRES_HOST" \
    -p "$FENWOLD_TEST_POSTGRES_PORT" -U "$FENWOLD_TEST_POSTGRES_USER" "$@"
}

# The same rows everywhere but the folders, which each platform names its own way.
seed() {  # drop done errors
  cat <<SQL
INSERT INTO settings (audits_dir, dtlfiles_dir, dtlerrors_dir) VALUES ('$1', '$2', '$3');
INSERT INTO card_type (name, monthly_flg, debit_flg, global_expiry) VALUES
  ('STAFF', 0, 0, 0), ('MONTHLY', 1, 0, 0), ('DEBIT', 0, 1, 0), ('VISITOR', 0, 0, 0);
INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('Blue Lot', 40, 3);
INSERT INTO card (number, type_id, group_id, debit_left, start_dt, exp_iry, descr, last_name)
  VALUES (100236, 3, 1, 120, '2024-01-01 00:00:00', '2027-12-31 23:59:59', 'Pay as you go', 'Moss');
SQL
}

# leg platform -> the database's name (servers) or file (SQLite)
dbname() { printf 'fwdiff_%s_%s' "${1//-/_}" "$2"; }

prepare() {  # leg platform
  local leg=$1 platform=$2 base=$work/$1/$2
  mkdir -p "$base/log" "$base/done" "$base/errors"
  scripts/differential-cards.sh "$base/drop"
  local drop=$base/drop done=$base/done errors=$base/errors
  if [ "$platform" = windows ]; then
    drop=$(winpath "$drop"); done=$(winpath "$done"); errors=$(winpath "$errors")
  fi
  local name; name=$(dbname "$leg" "$platform")
  local database driver user options
  case $leg in
    sqlite*)
      { cat schema/sqlite.sql; seed "$drop" "$done" "$errors"; } | sqlite3 "$base/cards.db"
      database=$base/cards.db driver=SQLite3 user= options="Timeout=10000"
      ;;
    mariadb)
      maria -e "DROP DATABASE IF EXISTS $name; CREATE DATABASE $name"
      # A backslash is an escape in MariaDB's strings.
      { cat schema/mysql.sql; seed "${drop//\\/\\\\}" "${done//\\/\\\\}" "${errors//\\/\\\\}"; } |
        maria "$name"
      database=$name driver="MariaDB Unicode" user=$FENWOLD_TEST_MARIADB_USER
      options="SERVER=127.0.0.1;PORT=$FENWOLD_TEST_MARIADB_PORT;PWD=$FENWOLD_TEST_MARIADB_PASSWORD"
      ;;
    postgres)
      pg -d "$FENWOLD_TEST_POSTGRES_DATABASE" -c "DROP DATABASE IF EXISTS $name" -c "CREATE DATABASE $name"
      { cat schema/postgres.sql; seed "$drop" "$done" "$errors"; } | pg -d "$name" >/dev/null
      database=$name driver="PostgreSQL Unicode" user=$FENWOLD_TEST_POSTGRES_USER
      options="SERVER=127.0.0.1;PORT=$FENWOLD_TEST_POSTGRES_PORT;PWD=$FENWOLD_TEST_POSTGRES_PASSWORD"
      ;;
  esac
  local codepage=
  [ "$leg" = sqlite-1250 ] && codepage=windows-1250
  printf '%s\n' "DSNName|" "Database|$database" "User|$user" "Pass|" "ODBCDriver|$driver" \
    "ODBCOptions|$options" "CardFileEncoding|auto" "CardFileCodePage|$codepage" >"$base/settings"
}

for leg in "${legs[@]}"; do
  for platform in linux windows; do prepare "$leg" "$platform"; done
done

# ---- Linux: one scan per leg.
for leg in "${legs[@]}"; do
  base=$work/$leg/linux
  {
    echo 'Windows Registry Editor Version 5.00'
    echo
    echo '[HKEY_LOCAL_MACHINE\Software\Quorvane\Kelvo]'
    while IFS='|' read -r name value; do printf '"%s"="%s"\n' "$name" "$value"; done <"$base/settings"
  } >"$base/registry.reg"
  status=0
  FENWOLD_REGISTRY=$base/registry.reg FENWOLD_LOG_DIR=$base/log "$linux_ctl" scan \
    >"$base/scan.out" 2>&1 || status=$?
  echo "$status" >"$base/scan.rc"
done

# ---- Windows: every leg in one Wine session, from one batch file.
batch=$work/scan.cmd
{
  echo '@echo off'
  for leg in "${legs[@]}"; do
    base=$work/$leg/windows
    while IFS='|' read -r name value; do
      echo "reg add \"HKLM\\Software\\Quorvane\\Kelvo\" /v $name /t REG_SZ /d \"$value\" /f /reg:32 >nul"
    done <"$base/settings"
    echo "set FENWOLD_LOG_DIR=$(winpath "$base/log")"
    echo "\"$(winpath "$windows_ctl")\" scan >\"$(winpath "$base/scan.out")\" 2>&1"
    echo "echo %ERRORLEVEL%>\"$(winpath "$base/scan.rc")\""
  done
} | sed 's/$/\r/' >"$batch"
timeout 600 wine cmd /c "$(winpath "$batch")" >"$work/wine.out" 2>"$work/wine.err" ||
  fail "the batch under Wine: $(tr -d '\r' <"$work/wine.err" | tail -n 5)"

# ---- What each side left behind, normalised.
dump_tables() {  # leg platform
  local leg=$1 name; name=$(dbname "$1" "$2")
  local q1="SELECT id, name, max_inlot, cur_inlot FROM card_pool ORDER BY id"
  local q2="SELECT * FROM futurecard ORDER BY id"
  local q3="SELECT * FROM card ORDER BY id"
  for q in "$q1" "$q2" "$q3"; do
    echo "-- $q"
    # The keys of staged records and cards are the server's own numbers, gaps included: InnoDB
    # reserves AUTO_INCREMENT values ahead for a parameter array (the Linux build's path), not
    # for a multi-row INSERT (the Windows build's, whose texts go as UTF-16). Their order is
    # compared, not their values; card_pool's ids are, since cards refer to them.
    local key=keep_key
    [ "$q" = "$q1" ] || key=drop_key
    case $leg in
      sqlite*) sqlite3 -separator '|' "$work/$leg/$2/cards.db" "$q" | $key '|' ;;
      mariadb) maria -B -N "$name" -e "$q" | $key $'\t' ;;
      postgres) pg -A -t -F '|' -d "$name" -c "$q" | $key '|' ;;
    esac
  done
}
keep_key() { cat; }
drop_key() {  # separator: every row without its first field
  cut -d "$1" -f 2-
}
normalise() {  # base: paths of the leg's folder and executables become fixed words
  local base=$1 wbase; wbase=$(winpath "$1")
  tr -d '\r' | sed -e 's#^[0-9][0-9./: -]\{20\} - #<time> - #' \
    -e "s#$(printf '%s' "$wbase" | sed 's/[\\.]/\\&/g')#<base>#g" -e "s#$base#<base>#g" \
    -e "s#$(printf '%s' "$(winpath "$windows_ctl")" | sed 's/[\\.]/\\&/g')#<fenwoldctl>#g" \
    -e "s#$linux_ctl#<fenwoldctl>#g" \
    -e ':a' -e 's#\(<base>[^ ";]*\)\\#\1/#' -e 'ta'
}
snapshot() {  # leg platform -> one file per aspect in $work/$leg/$platform.snap/
  local base=$work/$1/$2 out=$work/$1/$2.snap
  mkdir -p "$out"
  dump_tables "$1" "$2" >"$out/tables"
  (cd "$base" && find drop done errors -mindepth 1 | LC_ALL=C sort | while IFS= read -r f; do
    case $f in
      # A report names its host, its time and its path, which each run writes its own way.
      *.rejected.txt) printf '%s %s\n' "$f" "$(normalise "$base" <"$f" | grep -v -e '^When: ' -e '^Host: ' |
                                             md5sum | cut -c1-32)" ;;
      *) if [ -f "$f" ]; then printf '%s %s\n' "$f" "$(md5sum <"$f" | cut -c1-32)"; else printf '%s/\n' "$f"; fi ;;
    esac
  done) >"$out/folders"
  cat "$base"/log/*.log 2>/dev/null | normalise "$base" >"$out/log"
  { cat "$base/scan.out"; echo "exit $(tr -d '\r\n ' <"$base/scan.rc")"; } | normalise "$base" >"$out/scan"
}

# Rows whose Linux form holds a character beyond U+FFFF (a four-byte UTF-8 sequence), as
# "section|id" keys, and a table dump without the rows of such keys.
astral_keys() { LC_ALL=C awk -F'|' '/^-- /{s=$0; next} /[\360-\364]/{print s "|" $1}' "$1"; }
without_keys() {  # keys-file dump-file
  LC_ALL=C awk -F'|' 'NR==FNR{k[$0]=1; next} /^-- /{s=$0} !((s "|" $1) in k)' "$1" "$2"
}

failed=0
for leg in "${legs[@]}"; do
  snapshot "$leg" linux
  snapshot "$leg" windows
  # Inherent to the test bed, not to Windows (README): Wine's ODBC bridge garbles characters
  # beyond U+FFFF when the driver has no wide entry points, as the host's SQLite3 ODBC has
  # none. On SQLite the files that hold them (named *-astral-*, staged last) and their rows are
  # set aside and counted; everything else must still match.
  if [ "${leg%%-*}" = sqlite ]; then
    keys=$work/$leg/astral.keys
    astral_keys "$work/$leg/linux.snap/tables" >"$keys"
    for platform in linux windows; do
      snap=$work/$leg/$platform.snap
      without_keys "$keys" "$snap/tables" >"$snap/tables.kept" && mv "$snap/tables.kept" "$snap/tables"
      for aspect in folders log; do
        LC_ALL=C grep -v -e '-astral-' -e '^<time> - Error .*[\xF0-\xF4]' "$snap/$aspect" >"$snap/$aspect.kept" || true
        mv "$snap/$aspect.kept" "$snap/$aspect"
      done
    done
    echo "-- $leg: 2 files and $(wc -l <"$keys") rows with characters beyond U+FFFF set aside (Wine's bridge to an ANSI driver)"
  fi
  for aspect in tables folders log scan; do
    if ! diff -u "$work/$leg/linux.snap/$aspect" "$work/$leg/windows.snap/$aspect" >"$work/$leg/$aspect.diff"; then
      echo "-- $leg: the $aspect differ (Linux -, Windows +)"
      head -n 40 "$work/$leg/$aspect.diff"
      failed=1
    fi
  done
done

# Both sides alike and both wrong would pass the comparison: the Linux side must have kept
# every character, and each card file must have gone where it belongs.
expect() {  # leg aspect text
  grep -qF -- "$3" "$work/$1/linux.snap/$2" || { echo "-- $1: no \"$3\" in the $2"; failed=1; }
}
for leg in mariadb postgres; do
  for text in 'Car 🚗 park' 'Clef 𝄞'; do expect "$leg" tables "$text"; done
done
for leg in sqlite mariadb postgres; do
  for text in 'Jürgen' 'Łucja' 'Смирнова' '東京都' 'Œuvre' 'Und�fined' \
      'done/23-Zöllner – 東京 🚗.csv' 'done/21-UPPER.CSV' 'drop/25-x.csvx' 'drop/26-x.csv1' \
      'drop/27-x.csv~' 'drop/.28-hidden.csv' 'drop/29-readonly.csv' 'errors/03-sample-bad-number.csv' \
      'errors/32-Łódź 東京 rejected.csv.rejected.txt'; do
    case $text in */*) expect "$leg" folders "$text" ;; *) expect "$leg" tables "$text" ;; esac
  done
  expect "$leg" log 'mixes encodings'
  expect "$leg" log 'character(s) replaced'
done
expect sqlite-1250 tables 'Dvořák'

# The table: where each file went and what the log said of it, per database.
printf '\n%-32s' file; for leg in "${legs[@]}"; do printf ' %-11s' "$leg"; done; echo
sed 's#^[a-z]*/##; s# [0-9a-f]*$##; s#/$##' "$work/mariadb/linux.snap/folders" | LC_ALL=C sort -u |
  while IFS= read -r f; do
    printf '%-32s' "$(printf '%s' "$f" | cut -c1-32)"
    for leg in "${legs[@]}"; do
      s=$work/$leg
      a=$(grep -F -- "/$f" "$s/linux.snap/folders" "$s/linux.snap/log" | sed 's#^[^:]*snap/##' || true)
      b=$(grep -F -- "/$f" "$s/windows.snap/folders" "$s/windows.snap/log" | sed 's#^[^:]*snap/##' || true)
      if [ -z "$a$b" ]; then printf ' %-11s' 'set aside'
      elif [ "$a" = "$b" ]; then printf ' %-11s' same
      else printf ' %-11s' DIFFERENT; fi
    done
    echo
  done
for aspect in tables folders log scan; do
  printf '%-32s' "(all $aspect)"
  for leg in "${legs[@]}"; do
    if [ -s "$work/$leg/$aspect.diff" ]; then printf ' %-11s' DIFFERENT; else printf ' %-11s' same; fi
  done
  echo
done

[ "$failed" -eq 0 ] || fail "Linux and Windows differ (details above; files in $work)"
echo "== differential passed in $(($(date +%s) - began)) s"
