#!/usr/bin/env bash
# A private three-node MariaDB Galera cluster for tests, from Debian's packages (galera-4,
# mariadb-server, rsync): every node on 127.0.0.1 with its own data folder and four ports of
# its own (client, group, incremental and full state transfer). Never a system service. The
# servers run as `mysql`: rsync's state transfer cannot write into a folder root owns.
#   scripts/galera.sh start DIR       a fresh cluster, node 1 bootstrapping; prints the shell
#                                     exports of node 1 (also DIR/env) and writes
#                                     DIR/registryN.reg, a registry file for node N
#   scripts/galera.sh kill DIR N      SIGKILL node N and wait until it is gone
#   scripts/galera.sh restart DIR N   start node N again; waits until it has rejoined (state
#                                     transfer) and the cluster has three ready nodes again
#   scripts/galera.sh wait DIR        waits until all three nodes are in the cluster and ready
#   scripts/galera.sh stop DIR        stops every node
# GALERA_GENERAL_LOG=1 makes every node log each statement to DIR/nN/general.log, to read what
# each connection ran around a fault.
set -euo pipefail
# shellcheck source=scripts/lib/process.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/process.sh"
# shellcheck source=scripts/lib/mariadb_test.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/mariadb_test.sh"
cmd=${1:?start|kill|restart|wait|stop}; dir=${2:?data folder}
nodes="1 2 3"

provider=/usr/lib/galera/libgalera_smm.so
[ "$cmd" = stop ] || [ -r "$provider" ] || {
  echo "galera.sh: $provider is missing (scripts/apt-install.sh galera-4 rsync)" >&2; exit 1; }

port() { sed -n "s/^$1=//p" "$dir/ports"; }  # client1, group2, ist3, sst1...
sql() {  # node sql-args...
  local n=$1; shift
  mariadb --no-defaults -uroot --socket="$dir/n$n/sock" --connect-timeout=2 "$@"
}
status_of() {  # node variable
  sql "$1" -N -e "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS
                  WHERE VARIABLE_NAME = '$2'" 2>/dev/null || true
}
# In the cluster with all three nodes, synced and accepting queries.
ready() {  # node
  [ "$(status_of "$1" wsrep_ready)" = ON ] &&
    [ "$(status_of "$1" wsrep_cluster_size)" = 3 ] &&
    [ "$(status_of "$1" wsrep_local_state_comment)" = Synced ]
}

# On loopback a killed node is known dead within seconds: the defaults (15 s before a silent
# member leaves the view) would make every restart wait for its own ghost.
fast_evs="evs.keepalive_period=PT0.5S;evs.inactive_check_period=PT0.5S;evs.suspect_timeout=PT2S;evs.inactive_timeout=PT4S;evs.install_timeout=PT4S"

launch() {  # node [--wsrep-new-cluster]
  local n=$1; shift
  local logging=()
  if [ "${GALERA_GENERAL_LOG:-0}" = 1 ]; then
    logging=(--general-log=1 "--general-log-file=$dir/n$n/general.log")
  fi
  local address=gcomm://127.0.0.1:$(port group1),127.0.0.1:$(port group2),127.0.0.1:$(port group3)
  rm -f "$dir/n$n/pid"
  mariadbd --no-defaults --user=mysql --datadir="$dir/n$n/data" --socket="$dir/n$n/sock" \
    --port="$(port "client$n")" --bind-address=127.0.0.1 --pid-file="$dir/n$n/pid" \
    --log-error="$dir/n$n/error.log" --skip-name-resolve \
    --innodb-buffer-pool-size=32M --innodb-log-file-size=16M --performance-schema=OFF \
    --binlog-format=ROW --default-storage-engine=InnoDB --innodb-autoinc-lock-mode=2 \
    --wsrep-on=ON --wsrep-provider="$provider" --wsrep-cluster-name=fenwold_test \
    --wsrep-cluster-address="$address" --wsrep-node-name="n$n" \
    --wsrep-node-address="127.0.0.1:$(port "group$n")" \
    --wsrep-provider-options="gmcast.listen_addr=tcp://127.0.0.1:$(port "group$n");ist.recv_addr=127.0.0.1:$(port "ist$n");gcache.size=16M;$fast_evs" \
    --wsrep-sst-method=rsync --wsrep-sst-receive-address="127.0.0.1:$(port "sst$n")" \
    "${logging[@]}" "$@" >/dev/null 2>&1 &
  echo $! > "$dir/n$n/launched"
}

# Waits (up to 120 s) until `ready` holds for node n, or fails naming its log.
wait_ready() {  # node
  local n=$1
  for _ in $(seq 1 600); do
    ready "$n" && return 0
    alive "$(cat "$dir/n$n/launched")" || break
    sleep 0.2
  done
  echo "galera.sh: node $n did not join; $dir/n$n/error.log says:" >&2
  tail -n 20 "$dir/n$n/error.log" >&2 || true
  return 1
}

kill_node() {  # node signal
  local n=$1 pid
  pid=$(cat "$dir/n$n/launched" 2>/dev/null) || return 0
  kill "-$2" "$pid" 2>/dev/null || true
  for _ in $(seq 1 600); do alive "$pid" || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do alive "$pid" || return 0; sleep 0.1; done
  echo "galera.sh: node $n (pid $pid) does not go away" >&2
  return 1
}

case "$cmd" in
start)
  id mysql >/dev/null 2>&1 || { echo "galera.sh: no account mysql (mariadb-server)" >&2; exit 1; }
  rm -rf "$dir"; mkdir -p "$dir"; chmod 755 "$dir"
  : > "$dir/ports"
  mapfile -t ports < <(free_ports 12)
  k=0
  for n in $nodes; do
    mkdir -p "$dir/n$n/data"
    for kind in client group ist sst; do echo "$kind$n=${ports[k++]}" >> "$dir/ports"; done
  done
  chown -R mysql:mysql "$dir"/n*
  runuser -u mysql -- test -w "$dir/n1/data" || {
    echo "galera.sh: the account mysql cannot write $dir/n1/data (a folder above it closed?)" >&2
    exit 1; }
  if ! flock /tmp/fenwold-mariadb-install.lock \
      mariadb-install-db --no-defaults --user=mysql --datadir="$dir/n1/data" \
      --auth-root-authentication-method=socket --skip-test-db >"$dir/install.log" 2>&1; then
    echo "galera.sh: mariadb-install-db failed:" >&2; tail -n 20 "$dir/install.log" >&2; exit 1
  fi
  chown -R mysql:mysql "$dir"/n*
  launch 1 --wsrep-new-cluster
  for _ in $(seq 1 300); do
    [ "$(status_of 1 wsrep_ready)" = ON ] && break
    alive "$(cat "$dir/n1/launched")" || break
    sleep 0.2
  done
  [ "$(status_of 1 wsrep_ready)" = ON ] || {
    echo "galera.sh: node 1 did not bootstrap:" >&2; tail -n 20 "$dir/n1/error.log" >&2; exit 1; }
  sql 1 <<SQL
CREATE DATABASE fenwold_test;
CREATE USER 'fenwold'@'localhost' IDENTIFIED BY 'fw-test-pw';
CREATE USER 'fenwold'@'127.0.0.1' IDENTIFIED BY 'fw-test-pw';
GRANT ALL ON *.* TO 'fenwold'@'localhost';
GRANT ALL ON *.* TO 'fenwold'@'127.0.0.1';
SQL
  # One at a time: two joiners would ask node 1 for a full transfer at once.
  for n in 2 3; do launch "$n"; for _ in $(seq 1 600); do
    [ "$(status_of "$n" wsrep_local_state_comment)" = Synced ] && break
    alive "$(cat "$dir/n$n/launched")" || break
    sleep 0.2
  done; done
  for n in $nodes; do wait_ready "$n"; done
  mariadb_test_env "$(port client1)" "$dir/n1/sock" "$dir/n1" > "$dir/env"
  for n in $nodes; do mariadb_registry "$(port "client$n")" > "$dir/registry$n.reg"; done
  cat "$dir/env"
  ;;
kill)
  n=${3:?node}
  kill_node "$n" KILL
  ;;
restart)
  n=${3:?node}
  kill_node "$n" TERM
  launch "$n"
  wait_ready "$n"
  for m in $nodes; do [ "$m" = "$n" ] || wait_ready "$m"; done
  ;;
wait)
  for n in $nodes; do wait_ready "$n"; done
  ;;
stop)
  for n in $nodes; do kill_node "$n" TERM || true; done
  ;;
*) echo "usage: $0 start|kill|restart|wait|stop DIR [NODE]" >&2; exit 2 ;;
esac
