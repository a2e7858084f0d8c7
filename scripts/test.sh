#!/usr/bin/env bash
# Installs what is missing, builds, starts a private MariaDB and a private PostgreSQL, runs
# every test through ctest (a Release build and a sanitizer build, warnings as errors), and
# stops the servers. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh
# Two servers on one share are tested through FUSE mounts in mount namespaces of their own.
if [ ! -c /dev/fuse ] || ! unshare -m true; then
  echo "test.sh: this machine lacks /dev/fuse or mount namespaces (unshare -m)," \
       "which the two-mounts test and the Galera soak need" >&2
  exit 1
fi

jobs=$(nproc)
build() {  # dir extra-cmake-args...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DFENWOLD_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

dbdir=/tmp/fenwold-test-mariadb.$$
strictdir=/tmp/fenwold-test-mariadb-strict.$$
pgdir=/tmp/fenwold-test-postgres.$$
odbcdir=/tmp/fenwold-test-odbc.$$
cleanup() {
  "$root/scripts/mariadb.sh" stop "$dbdir" || true
  "$root/scripts/mariadb.sh" stop "$strictdir" || true
  "$root/scripts/postgres.sh" stop "$pgdir" || true
  rm -rf "$dbdir" "$strictdir" "$pgdir" "$odbcdir"
}
trap cleanup EXIT
# The drivers as installed, but without psqlODBC's CommLog (a log file per process in /tmp).
mkdir -p "$odbcdir"
sed 's/^[[:space:]]*CommLog[[:space:]]*=.*/CommLog=0/' /etc/odbcinst.ini > "$odbcdir/odbcinst.ini"
export ODBCSYSINI=$odbcdir
# psqlODBC keeps a few allocations of its own to the end of the process (the test processes
# pin their drivers; the service binary they start does not).
printf 'leak:psqlodbcw.so\nleak:psqlodbca.so\n' > "$odbcdir/lsan.supp"
export LSAN_OPTIONS=suppressions=$odbcdir/lsan.supp
# psqlODBC 13.02 reads past the end of its own copy of a statement's text (a memcpy inside
# SQLExecDirect); only reports from interceptors called by the driver are silenced.
printf 'interceptor_via_lib:psqlodbcw.so\ninterceptor_via_lib:psqlodbca.so\n' > "$odbcdir/asan.supp"
"$root/scripts/mariadb.sh" start "$dbdir" >/dev/null
"$root/scripts/postgres.sh" start "$pgdir" >/dev/null
# A second MariaDB whose options cannot be set per session: serializable, a failed lock wait
# rolls the whole transaction back, after one second (FENWOLD_TEST_MARIADB_STRICT_*).
FENWOLD_MARIADB_SERVER_OPTIONS="--transaction-isolation=SERIALIZABLE --innodb-rollback-on-timeout=ON --innodb-lock-wait-timeout=1" \
  "$root/scripts/mariadb.sh" start "$strictdir" >/dev/null
# shellcheck disable=SC1091
source "$dbdir/env"
# shellcheck disable=SC1091
source "$pgdir/env"
# shellcheck disable=SC1090
source <(sed 's/FENWOLD_TEST_MARIADB_/FENWOLD_TEST_MARIADB_STRICT_/' "$strictdir/env")

suites=${FENWOLD_TEST_BUILDS:-"normal sanitize"}
for suite in $suites; do
  echo "== $suite build"
  case $suite in
    # The build users make; it must stay warning-free.
    normal) build "$root/build" -DCMAKE_BUILD_TYPE=Release ;;
    sanitize) build "$root/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFENWOLD_SANITIZE=ON ;;
  esac
  dir="$root/build"; [ "$suite" = sanitize ] && dir="$root/build-asan"
  log="$dir/ctest-output.log"
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1:suppressions=$odbcdir/asan.supp UBSAN_OPTIONS=print_stacktrace=1 \
     ctest --output-on-failure -j "$jobs" --timeout 600) | tee "$log"
  # Every case runs, on every driver: a skipped test is a failed run.
  if grep -Eq '\*\*\*Skipped|[0-9]+ - .*\(Skipped\)|Not Run' "$log"; then
    echo "== $suite build: tests were skipped or not run" >&2
    exit 1
  fi
done
scripts/test-package.sh   # the Debian package: build, lintian, install, check, purge
"$root/scripts/soak.sh" --faults 30 --bin "$root/build/fenwold"   # fault soak (~1 min)
# Two servers on a Galera cluster, each on a mount of its own, nodes killed (~80 s).
scripts/apt-install.sh galera-4 rsync
"$root/scripts/galera_soak.sh" --rounds 12 --node-kills 3 --bin "$root/build/fenwold"
scripts/test-windows.sh   # the Windows build: suites and the service under Wine
