#!/usr/bin/env bash
# Installs the Debian packages named that are not installed yet (run as root). Waits for
# another installation that holds the package manager's lock; never lets a package start a
# system service of its own.
#   scripts/apt-install.sh [--no-install-recommends] PACKAGE...
set -euo pipefail
options=()
if [ "${1:-}" = --no-install-recommends ]; then
  options+=("$1")
  shift
fi
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d
  trap 'rm -f /usr/sbin/policy-rc.d' EXIT
fi
lock=(-o DPkg::Lock::Timeout=600)
apt-get "${lock[@]}" update -qq
apt-get "${lock[@]}" install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
