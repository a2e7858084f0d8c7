#!/usr/bin/env bash
# Galera soak: two services write through nodes 1 and 2 of a private three-node MariaDB Galera
# cluster (scripts/galera.sh), each seeing the drop folder through a bindfs mount of its own in
# a mount namespace of its own (so the file locks of one never reach the other, as between two
# hosts on a network share). Card files are dropped while a node is killed (SIGKILL) and
# restarted (it rejoins by state transfer) or a service is killed and restarted, at random.
# At the end every card is checked: each file tops up its own debit card by one unit and
# creates new cards.
# A burst of files dropped at once before the rounds makes both servers stage and apply side by
# side, where the two nodes' certification conflicts happen.
#   scripts/galera_soak.sh [--rounds N] [--node-kills K] [--burst B] [--new-cards C] [--bin PATH]
#                          [--seed S]
# Prints a table; exit 1 when a top-up was lost or applied twice, a card is missing, a file is
# not in the done folder or a due record is left staged.
set -euo pipefail
# shellcheck source=scripts/lib/process.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/process.sh"
# shellcheck source=scripts/lib/soak_cards.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/soak_cards.sh"
cd "$(dirname "$0")/.."
root=$(pwd)

rounds=20
node_kills=3
burst=20
newcards=10
bin="$root/build/fenwold"
seed=${SOAK_SEED:-$$}
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --node-kills) node_kills=$2; shift 2 ;;
    --burst) burst=$2; shift 2 ;;
    --new-cards) newcards=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    *) echo "usage: $0 [--rounds N] [--node-kills K] [--burst B] [--new-cards C] [--bin PATH] [--seed S]" >&2
       exit 2 ;;
  esac
done
[ -x "$bin" ] || { echo "galera soak: no service binary at $bin" >&2; exit 2; }
# Separate mounts are the point: fail loudly where they cannot be made.
[ -c /dev/fuse ] || { echo "galera soak: no /dev/fuse" >&2; exit 1; }
command -v bindfs >/dev/null || { echo "galera soak: bindfs is missing" >&2; exit 1; }
unshare -m true || { echo "galera soak: unshare -m does not work here" >&2; exit 1; }
RANDOM=$seed

work=$(mktemp -d /tmp/fenwold-galera-soak.XXXXXX)
chmod 755 "$work"  # the cluster's servers run as mysql
cluster=$work/cluster
pids=(0 0 0)
cleanup() {
  for s in 1 2; do
    if [ "${pids[$s]}" != 0 ]; then kill -9 "${pids[$s]}" 2>/dev/null || true; wait "${pids[$s]}" 2>/dev/null || true; fi
  done
  "$root/scripts/galera.sh" stop "$cluster" >/dev/null 2>&1 || true
  if [ "${SOAK_KEEP:-0}" = 1 ]; then echo "galera soak: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

"$root/scripts/galera.sh" start "$cluster" >/dev/null
sql() {  # node sql-args...
  local n=$1; shift
  mariadb --no-defaults -uroot --socket="$cluster/n$n/sock" -N -B fenwold_test "$@"
}
# Asked of whichever node answers: one may be down.
ask() { sql 3 -e "$1" 2>/dev/null || sql 1 -e "$1" 2>/dev/null || sql 2 -e "$1"; }

backing=$work/share
seen=$work/mnt
mkdir -p "$backing/drop" "$backing/done" "$backing/errors" "$seen" "$work/logs1" "$work/logs2" "$work/out"
sql 1 < "$root/schema/mysql.sql"
{
  echo "INSERT INTO settings (audits_dir, dtlfiles_dir, dtlerrors_dir) VALUES ('$seen/drop', '$seen/done', '$seen/errors');"
  echo "INSERT INTO card_type (name, debit_flg) VALUES ('STAFF', 0), ('DEBIT', 1);"
  for ((i = 1; i <= rounds + burst; i++)); do
    echo "INSERT INTO card (number, type_id, debit_left) SELECT $((900000 + i)), id, 0 FROM card_type WHERE name = 'DEBIT';"
  done
} | sql 1

# The service of server s, on node s, in its own mount namespace; it and its mount die with
# the shell that runs them.
in_own_mount='
setpriv --pdeathsig KILL bindfs -f --no-allow-other "$1" "$2" & fuse=$!
until mountpoint -q "$2"; do kill -0 "$fuse" 2>/dev/null || exit 97; sleep 0.05; done
setpriv --pdeathsig KILL "$3" & pid=$!
trap "kill -TERM \$pid 2>/dev/null" TERM INT
rc=0
while kill -0 "$pid" 2>/dev/null; do wait "$pid"; rc=$?; done
kill "$fuse"; wait "$fuse"
exit "$rc"'
starts=0
start_service() {  # s
  starts=$((starts + 1))
  FENWOLD_REGISTRY="$cluster/registry$1.reg" FENWOLD_LOG_DIR="$work/logs$1" FENWOLD_TICK_MS=300 \
    unshare -m --propagation private sh -c "$in_own_mount" sh "$backing" "$seen" "$bin" \
    >"$work/out/$starts.out" 2>"$work/out/$starts.err" &
  pids[$1]=$!
}
# A service that ended by itself (its node was down when it started) is started again, as
# systemd would.
ensure_services() {
  for s in 1 2; do
    if ! alive "${pids[$s]}"; then wait "${pids[$s]}" 2>/dev/null || true; start_service "$s"; fi
  done
}

# Certification conflicts a node met since it started (wsrep_local_cert_failures and
# wsrep_local_bf_aborts); read before a node is killed, since its restart starts them at zero.
node_conflicts() {  # node
  sql "$1" -e "SELECT COALESCE(SUM(VARIABLE_VALUE), 0) FROM information_schema.GLOBAL_STATUS
               WHERE VARIABLE_NAME IN ('WSREP_LOCAL_CERT_FAILURES', 'WSREP_LOCAL_BF_ABORTS')" \
    2>/dev/null || echo 0
}
node_counted=0


# Node kills are spread over the rounds; the other rounds kill a service or nothing.
node_rounds=" "
for ((k = 0; k < node_kills; k++)); do node_rounds+="$(((k * rounds) / node_kills + 1)) "; done
kills=0; svc_kills=0
start_service 1; start_service 2
for ((i = rounds + 1; i <= rounds + burst; i++)); do drop_soak_file "$i" "$newcards" "$backing/drop"; done
for ((i = 1; i <= rounds; i++)); do
  drop_soak_file "$i" "$newcards" "$backing/drop"
  pause 10
  ensure_services
  if [[ "$node_rounds" == *" $i "* ]]; then
    n=$((RANDOM % 3 + 1))
    kills=$((kills + 1))
    node_counted=$((node_counted + $(node_conflicts "$n")))
    "$root/scripts/galera.sh" kill "$cluster" "$n"
    pause 10
    "$root/scripts/galera.sh" restart "$cluster" "$n"
  elif [ $((RANDOM % 3)) = 0 ]; then
    s=$((RANDOM % 2 + 1))
    svc_kills=$((svc_kills + 1))
    kill -9 "${pids[$s]}" 2>/dev/null || true
    wait "${pids[$s]}" 2>/dev/null || true
    start_service "$s"
  fi
done

settled=0
for _ in $(seq 1 600); do
  ensure_services
  left=$(ask "SELECT COUNT(*) FROM futurecard" || echo x)
  if [ "$left" = 0 ] && [ -z "$(ls -A "$backing/drop")" ]; then settled=1; break; fi
  sleep 0.2
done
for s in 1 2; do
  kill -TERM "${pids[$s]}" 2>/dev/null || true
  wait "${pids[$s]}" 2>/dev/null || true
  pids[$s]=0
done

files=$((rounds + burst))
lost=$(ask "SELECT COUNT(*) FROM card WHERE number BETWEEN 900001 AND $((900000 + files)) AND debit_left = 0")
twice=$(ask "SELECT COUNT(*) FROM card WHERE number BETWEEN 900001 AND $((900000 + files)) AND debit_left > 1")
new=$(ask "SELECT COUNT(*) FROM card WHERE number >= 1000000")
missing=$((files * newcards - new)); [ "$missing" -lt 0 ] && missing=0
misfiled=$((files - $(find "$backing/done" -name 'f*.csv' | wc -l)))
left=$(ask "SELECT COUNT(*) FROM futurecard")
# A pass that meets a conflict leaves its records to the next without a line: the nodes' own
# counters tell. Staging logs the ones it meets ("Deadlock found", 1213/40001), already counted.
conflicts=$node_counted
for n in 1 2 3; do conflicts=$((conflicts + $(node_conflicts "$n"))); done

printf '| rounds | node kills | server kills | files | cards | lost | applied twice | misfiled | left staged | certification failures seen |\n'
printf '|---|---|---|---|---|---|---|---|---|---|\n'
printf '| %d | %d | %d | %d | %d | %d | %d | %d | %d | %d |\n' "$rounds" "$kills" "$svc_kills" \
  "$files" "$((files + new))" "$((lost + missing))" "$twice" "$misfiled" "$left" "$conflicts"
echo "seed $seed; settled: $settled"
if [ "$lost" != 0 ] || [ "$missing" != 0 ] || [ "$twice" != 0 ] || [ "$misfiled" != 0 ] ||
   [ "$left" != 0 ]; then
  echo "galera soak: FAILED (SOAK_KEEP=1 keeps $work for a look)" >&2
  exit 1
fi
