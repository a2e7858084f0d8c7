#!/usr/bin/env bash
# Cross-builds fenwold.exe and fenwoldctl.exe for 64-bit Windows with mingw-w64 into
# build-windows/, the release archive build-windows/fenwold-<version>-win64.zip and, where wixl
# is installed, the installer package build-windows/fenwold-<version>-win64.msi.
#   --tests   also the test suites that scripts/test-windows.sh runs under Wine
# Needs g++-mingw-w64-x86-64 (and googletest for --tests); scripts/test-windows.sh installs them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=$root/build-windows

testing=OFF
targets=(fenwold fenwoldctl)
if [ "${1:-}" = --tests ]; then
  testing=ON
  targets+=(fenwold_wine_tests)
fi

cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DFENWOLD_WERROR=ON -DBUILD_TESTING="$testing" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

# Only the system's own DLLs may be imported: the executables are linked statically.
allowed='^(ADVAPI32|KERNEL32|msvcrt|USER32|VERSION)\.dll$'
for exe in "$dir/fenwold.exe" "$dir/fenwoldctl.exe"; do
  bad=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | grep -Eiv "$allowed" || true)
  if [ -n "$bad" ]; then
    echo "$(basename "$exe") imports DLLs beyond the system's: $bad" >&2
    exit 1
  fi
done

(cd "$dir" && cpack -G ZIP >/dev/null)
zip=$(ls "$dir"/fenwold-*-win64.zip)
echo "$zip"
listing=$(cmake -E tar tf "$zip")
for f in fenwold.exe fenwoldctl.exe fenwold.reg README.txt fenwold-rules.yml fenwold-dashboard.json; do
  grep -qx "$f" <<<"$listing" || { echo "$zip lacks $f" >&2; exit 1; }
done
if command -v wixl >/dev/null; then
  cmake --build "$dir" --target msi >/dev/null
  ls "$dir"/fenwold-*-win64.msi
fi
