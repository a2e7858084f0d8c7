#!/usr/bin/env bash
# Shows what Fenwold does with card files, as far as it is built: it reads the sample card
# files in scripts/samples/ the way the service will, and prints for every line its kind and
# the SQL that staging would run against the card database. No database is touched.
# Run as root on Debian 12 (installs what is missing); safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target fenwoldctl >/dev/null
ctl="$root/build/fenwoldctl"
samples=scripts/samples

say() { printf '\n== %s\n\n' "$*"; }

say "Card groups: each line of two fields creates a card_pool row or updates the one found
   by name. A quote in a name is doubled, a comma inside a quoted field stays in the name."
"$ctl" validate "$samples/groups.csv"

say "A card file as other systems drop it (CR LF lines): a group row, then card rows that
   become staged records in futurecard. Date fields (yyyymmdd) take the time of day (hhmm)
   of the field before them; an empty date means today. Empty and one-field lines are
   skipped."
"$ctl" validate "$samples/cards.csv"

say "The first card row again, for a generic connection and then for MySQL/MariaDB, where a
   backslash in a text (Front desk\\Lobby) is doubled as well."
"$ctl" validate "$samples/cards.csv" | grep -F "'A', 100234"
"$ctl" validate --driver mysql "$samples/cards.csv" | grep -F "'A', 100234"

say "A file with card numbers that are not whole numbers. Such a number never reaches the
   SQL: the line fails, and staging would roll back the whole file and move it to the error
   folder. validate exits with status 1."
status=0
"$ctl" validate "$samples/bad_number.csv" || status=$?
echo
echo "fenwoldctl validate exited with status $status"
