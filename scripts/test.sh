#!/usr/bin/env bash
# Installs what is missing, builds, starts a private MariaDB, runs every test through ctest
# (a normal build and a sanitizer build), and stops the server. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh

jobs=$(nproc)
build() {  # dir extra-cmake-args...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

dbdir=/tmp/fenwold-test-mariadb.$$
cleanup() { "$root/scripts/mariadb.sh" stop "$dbdir" || true; rm -rf "$dbdir"; }
trap cleanup EXIT
"$root/scripts/mariadb.sh" start "$dbdir" >/dev/null
# shellcheck disable=SC1091
source "$dbdir/env"

suites=${FENWOLD_TEST_BUILDS:-"normal sanitize"}
for suite in $suites; do
  echo "== $suite build"
  case $suite in
    normal) build "$root/build" ;;
    sanitize) build "$root/build-asan" -DFENWOLD_SANITIZE=ON ;;
  esac
  dir="$root/build"; [ "$suite" = sanitize ] && dir="$root/build-asan"
  log="$dir/ctest-output.log"
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest --output-on-failure -j "$jobs" --timeout 600) | tee "$log"
  # Every case runs, on both drivers: a skipped test is a failed run.
  if grep -Eq '\*\*\*Skipped|[0-9]+ - .*\(Skipped\)|Not Run' "$log"; then
    echo "== $suite build: tests were skipped or not run" >&2
    exit 1
  fi
done
scripts/test-package.sh   # the Debian package: build, lintian, install, check, purge
scripts/test-windows.sh   # the Windows build: suites and the service under Wine
