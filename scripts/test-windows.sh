#!/usr/bin/env bash
# Builds the Windows DLLs and programs with mingw-w64 (the `windows` preset) and runs the
# Windows tests under Wine. On a fresh Debian machine it first installs what is missing:
# the cross compilers, GoogleTest's sources, Wine.
#
# The Wine prefix is private to the build tree (build/wine-prefix) and made once with
# `wineboot -i`; later runs reuse it. One wineserver is kept running for the whole run, so
# that each test program starts in a fraction of a second, and it is stopped at the end.
# Tests that meet a known gap of Wine carry a label "wine-gap:<gap>" (README.md, On
# Windows); they run like the others. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

windows_packages=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    googletest wine wine64)
missing=()
for p in "${windows_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

jobs=$(nproc 2>/dev/null || echo 2)

SECONDS=0
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
echo "windows build: ${SECONDS}s"

# The prefix and the environment the test preset gives the tests (CMakePresets.json).
export WINEPREFIX="$PWD/build/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    SECONDS=0
    mkdir -p "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
    echo "wine prefix made: ${SECONDS}s"
fi

# A wineserver that outlives each test; its output never holds a test's pipes open. It
# fails (2) only when one already serves this prefix, which does as well.
wineserver -p </dev/null >/dev/null 2>&1 || [ $? -eq 2 ]
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# Wine's own services start with the first program: start them here, away from CTest.
wine cmd /c exit 0 </dev/null >/dev/null 2>&1

SECONDS=0
ctest --preset windows -j "$jobs" --timeout 600
echo "windows tests: ${SECONDS}s"
