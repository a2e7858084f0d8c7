#!/usr/bin/env bash
# The Debian package leg: builds fenwold_<version>_amd64.deb from a Release build, lints it,
# installs it, checks what it put in place (account, modes, manual pages, the unit and its
# sandbox rating, the warnings of fenwoldctl check as the service account), runs the fenwoldctl
# suites of the test build ($FENWOLD_SUITES_BUILD, default build/) while it is installed,
# removes and purges it, and checks that nothing is left. Nothing is started. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# The exposure that systemd-analyze security measured for the unit (1.2, "OK"), times ten.
max_exposure=12

scripts/apt-install.sh lintian systemd man-db dpkg-dev fakeroot adduser libodbc2 libsqliteodbc sqlite3

fail() { echo "== package: $*" >&2; exit 1; }

# dpkg itself does not wait for the lock that another installer holds.
dpkg_run() {
  local out
  for _ in $(seq 120); do
    if out=$(dpkg "$@" 2>&1); then echo "$out"; return 0; fi
    grep -q 'lock' <<<"$out" || { echo "$out" >&2; return 1; }
    sleep 5
  done
  echo "$out" >&2; return 1
}

build=$root/build-package
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
  -DBUILD_TESTING=OFF -DFENWOLD_DEFAULT_LOG_DIR=/var/log/fenwold >/dev/null
cmake --build "$build" -j "$(nproc)" --target fenwold fenwoldctl package_files >/dev/null
rm -f "$build"/fenwold_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/fenwold_*_amd64.deb)
echo "== package: $(basename "$deb")"
lintian --fail-on error "$deb"

work=$(mktemp -d /tmp/fenwold-package.XXXXXX)
servers_started=0
cleanup() {
  dpkg-query -W fenwold >/dev/null 2>&1 && dpkg_run -P fenwold >/dev/null || true
  if [ "$servers_started" = 1 ]; then
    "$root/scripts/mariadb.sh" stop "$work/mariadb" || true
    "$root/scripts/postgres.sh" stop "$work/postgres" || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Docker's Debian images drop manual pages; ours are part of what is checked.
dpkg_run --path-include='/usr/share/man/man*/fenwold*' -i "$deb" >/dev/null

# ---- What the package put in place.
fenwoldctl --version | grep -q '^fenwoldctl ' || fail "fenwoldctl --version"
man -w fenwoldctl >/dev/null && man -w 8 fenwold >/dev/null || fail "manual pages not found"
page=$(MANWIDTH=200 man fenwoldctl 2>/dev/null | col -b)
for cmd in $(fenwoldctl --help | awk '/^Commands:/ {on=1; next} on && /^  [a-z]/ {print $1}'); do
  grep -Eq "^ +$cmd( |$)" <<<"$page" || fail "man fenwoldctl lacks the command $cmd"
done
getent passwd fenwold >/dev/null || fail "no account fenwold"
[ "$(stat -c '%a %U:%G' /etc/fenwold/registry.reg)" = "640 root:fenwold" ] || fail "registry file mode"
[ "$(stat -c '%a %U:%G' /var/log/fenwold)" = "750 fenwold:fenwold" ] || fail "log folder mode"
for f in /usr/sbin/fenwold /lib/systemd/system/fenwold.service /usr/share/fenwold/schema/sqlite.sql \
  /usr/share/fenwold/fenwold-rules.yml /usr/share/fenwold/fenwold-dashboard.json; do
  [ -e "$f" ] || fail "$f missing"
done
systemctl is-enabled fenwold.service >/dev/null 2>&1 && fail "enabled before the site configured it"

# ---- The unit: valid, and sandboxed at least as well as measured.
unit=/lib/systemd/system/fenwold.service
systemd-analyze verify "$unit"
systemd-analyze security --offline=yes --threshold=$max_exposure "$unit" | tail -1
systemd-analyze security --offline=yes --threshold=$max_exposure "$unit" >/dev/null ||
  fail "the unit's exposure is above $(( max_exposure / 10 )).$(( max_exposure % 10 ))"

# ---- fenwoldctl check as the service account: a site on SQLite whose error folder the
# account cannot write, and a registry file that others can read.
install -d -o fenwold -g fenwold "$work/in" "$work/done"
install -d -m 0755 "$work/errors"
chmod 0755 "$work"
fenwoldctl schema sqlite | sqlite3 "$work/cards.db"
sqlite3 "$work/cards.db" "INSERT INTO settings (audits_dir, dtlfiles_dir, dtlerrors_dir)
  VALUES ('$work/in', '$work/done', '$work/errors')"
chown fenwold:fenwold "$work/cards.db"
cp /etc/fenwold/registry.reg "$work/registry.reg.orig"
cat >/etc/fenwold/registry.reg <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Kelvo]
"Database"="$work/cards.db"
"ODBCDriver"="SQLite3"
REG
chmod 0644 /etc/fenwold/registry.reg
chgrp fenwold /etc/fenwold/registry.reg
out=$(FENWOLD_UNIT_DIR="$work" runuser -u fenwold -- fenwoldctl check) && rc=0 || rc=$?
echo "$out" | sed 's/^/    /'
grep -q '^WARN  registry file: .* is readable by others' <<<"$out" || fail "no warning for a world-readable registry file"
grep -q "^FAIL  error folder (dtlerrors_dir): $work/errors is missing or not writable" <<<"$out" ||
  fail "no failure for a folder the account cannot write"
[ "$rc" = 1 ] || fail "check exited $rc with a folder it cannot write"
grep -q "^WARN  sandbox: .*$work/in" <<<"$out" || fail "no warning for folders outside the sandbox"
# Run as root, check asks the kernel on the account's behalf.
FENWOLD_UNIT_DIR="$work" fenwoldctl check | grep -q "^WARN  error folder (dtlerrors_dir): $work/errors is writable, but not for the account fenwold" ||
  fail "check as root says nothing of a folder the account cannot write"
fenwoldctl config | grep -q 'is readable by others' || fail "config says nothing of the registry file's mode"
FENWOLD_UNIT_DIR="$work" fenwoldctl folders --write-unit >/dev/null
grep -q "^ReadWritePaths=\"-$work/errors\"" "$work/fenwold.service.d/folders.conf" || fail "drop-in"
chmod 0640 /etc/fenwold/registry.reg
out=$(FENWOLD_UNIT_DIR="$work" runuser -u fenwold -- fenwoldctl check) || true
grep -q 'registry file: .* is readable by others' <<<"$out" && fail "warning for a 0640 registry file"
grep -q '^WARN  sandbox' <<<"$out" && fail "sandbox warning with the drop-in written"
cp "$work/registry.reg.orig" /etc/fenwold/registry.reg

# ---- The fenwoldctl suites once more, now that the machine has the account, the unit, the
# registry file and the log folder: what they check must come from the test, not from these.
suites_build=${FENWOLD_SUITES_BUILD:-$root/build}
[ -x "$suites_build/ctl_check_test" ] ||
  fail "no test build in $suites_build (build it first, or set FENWOLD_SUITES_BUILD)"
if [ -z "${FENWOLD_TEST_MARIADB_HOST:-}" ] || [ -z "${FENWOLD_TEST_POSTGRES_HOST:-}" ]; then
  "$root/scripts/mariadb.sh" start "$work/mariadb" >/dev/null
  "$root/scripts/postgres.sh" start "$work/postgres" >/dev/null
  servers_started=1
  # shellcheck disable=SC1091
  source "$work/mariadb/env"
  # shellcheck disable=SC1091
  source "$work/postgres/env"
fi
if [ -z "${ODBCSYSINI:-}" ]; then
  mkdir -p "$work/odbc"
  sed 's/^[[:space:]]*CommLog[[:space:]]*=.*/CommLog=0/' /etc/odbcinst.ini > "$work/odbc/odbcinst.ini"
  export ODBCSYSINI=$work/odbc
fi
if ! (cd "$suites_build" && ctest --output-on-failure -j "$(nproc)" --timeout 600 \
   -R '(^|/|[.])(Ctl[A-Za-z]*|Fenwoldctl[A-Za-z]*|LedgerTable)[.]'); then
  # A log is read from its end: the failed cases once more, alone, with their output last.
  (cd "$suites_build" && ctest --rerun-failed --output-on-failure) || true
  fail "the fenwoldctl suites fail while the package is installed"
fi

# ---- Remove keeps the conffile; purge leaves nothing.
dpkg_run -r fenwold >/dev/null
[ -e /usr/sbin/fenwold ] && fail "remove left the binary"
[ -e /etc/fenwold/registry.reg ] || fail "remove took the conffile"
dpkg_run -P fenwold >/dev/null
for f in /etc/fenwold /var/log/fenwold /var/lib/fenwold /usr/share/fenwold /usr/share/doc/fenwold \
         /lib/systemd/system/fenwold.service /etc/systemd/system/fenwold.service.d; do
  [ -e "$f" ] && fail "purge left $f"
done
getent passwd fenwold >/dev/null && fail "purge left the account"
getent group fenwold >/dev/null && fail "purge left the group"
dpkg-query -W fenwold >/dev/null 2>&1 && fail "dpkg still knows fenwold"
echo "== package: built, linted, installed, checked, removed and purged"
