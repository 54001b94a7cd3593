#!/usr/bin/env bash
# Builds the Windows DLLs and programs with mingw-w64 (the `windows` preset) and runs the
# Windows tests under Wine; builds the 32-bit DLLs and tests (`windows-x86`), checks the
# DLLs' exports, and runs those tests too when this Wine can start 32-bit programs. On a
# fresh Debian machine it first installs what is missing: the cross compilers,
# GoogleTest's sources, Wine.
#
# The Wine prefix is private to the build tree (build/wine-prefix) and made once with
# `wineboot -i`; later runs reuse it. One wineserver is kept running for the whole run, so
# that each test program starts in a fraction of a second, and it is stopped at the end.
# Tests that meet a known gap of Wine carry a label "wine-gap:<gap>" (README.md, On
# Windows); they run like the others. Exits non-zero on any failure.
#
# The harness of the tests on real ports (a contract other tests may rely on):
#   - The Linux virtual printer and thermpos are built with the `vprinter-host` preset (those programs
#     alone) as build/vprinter-host/vprinter/thermpos-vprinter.
#   - COM5 to COM8 are mapped in the prefix (HKLM\Software\Wine\Ports) to the links
#     build/wine-ports/COM5 ... COM8 before the run's wineserver starts. The links
#     themselves are made by whoever serves the line: `thermpos-vprinter --link
#     build/wine-ports/COM6` makes COM6 reach that printer's pty. One line serves one test
#     at a time.
#   - The tests get, from the windows test preset (so a plain `ctest --preset windows`
#     after this script works too):
#       THERMPOS_VPRINTER=<absolute path of the Linux thermpos-vprinter>
#       THERMPOS_WINE_COM_LINKS=COM5=<absolute link>;COM6=<absolute link>;...
#     A Windows program starts the Linux printer with CreateProcess (Wine runs Linux
#     programs too) and may steer it on its standard input: `--control -` takes one
#     command per line ("cover open", "status", "quit") and answers each with a line on
#     standard output, after the first line, which is the device path (or the address with
#     --listen 127.0.0.1:0). The printer ends when its standard input ends. A Linux path is
#     Z:<path> to the Windows program (the receipts and commands.log of --out DIR).
set -euo pipefail
cd "$(dirname "$0")/.."

windows_packages=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    googletest wine wine64 g++ libpng-dev zlib1g-dev console-setup-linux)
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
cmake --preset vprinter-host >/dev/null
cmake --build --preset vprinter-host -j "$jobs"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
echo "windows build (and the Linux virtual printer): ${SECONDS}s"

# The 32-bit DLLs that 32-bit applications load; their exports must come out undecorated.
# Their tests are built in the same tree (only what the tests need: the windows_tests
# target) and run at the end where this Wine can start 32-bit programs.
SECONDS=0
if dpkg-query -W -f='${Status}' g++-mingw-w64-i686-posix 2>/dev/null | grep -q 'install ok installed'; then
    cmake --preset windows-x86 >/dev/null
    cmake --build --preset windows-x86 -j "$jobs"
    for dll in ThermSO LinkPort; do
        def=so/com/ThermSO.def
        [ "$dll" = LinkPort ] && def=portlib/LinkPort.def
        expected=$(sed -n 's/^ *\(\(Dll\|PM\)[A-Za-z]*\).*/\1/p' "$def" | sort | paste -sd';')
        cmake -DOBJDUMP=i686-w64-mingw32-objdump -DLIBRARY="build/windows-x86/bin/$dll.dll" \
            "-DEXPECTED=$expected" -P tests/windows/check_pe_exports.cmake
    done
    echo "32-bit DLLs: ${SECONDS}s"
    SECONDS=0
    cmake --build --preset windows-x86-tests -j "$jobs"
    echo "32-bit tests built: ${SECONDS}s"
else
    echo "32-bit DLLs: not built (g++-mingw-w64-i686-posix is not installed)" >&2
    exit 1
fi

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

# The COM lines, mapped before the run's wineserver starts (it reads the map then).
ports="$PWD/build/wine-ports"
mkdir -p "$ports"
if ! grep -qF "$ports/COM8" "$WINEPREFIX/system.reg" 2>/dev/null; then
    map="$ports/map.reg"
    {
        printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
        for n in 5 6 7 8; do
            printf '"COM%s"="%s"\r\n' "$n" "$(printf '%s' "$ports/COM$n" | sed 's/\\/\\\\/g')"
        done
    } >"$map"
    wine reg import "$(winepath -w "$map")" </dev/null >/dev/null 2>&1
    wineserver -w
fi
wineserver -k >/dev/null 2>&1 || true
wineserver -w

# A wineserver that outlives each test; its output never holds a test's pipes open. It
# fails (2) only when one already serves this prefix, which does as well.
wineserver -p </dev/null >/dev/null 2>&1 || [ $? -eq 2 ]
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# Wine's own services start with the first program: start them here, away from CTest.
wine cmd /c exit 0 </dev/null >/dev/null 2>&1

SECONDS=0
ctest --preset windows -j "$jobs" --timeout 600
echo "windows tests: ${SECONDS}s"

# The 32-bit tests, when this Wine starts a 32-bit program: one test program must list its
# cases. Debian's wine32 comes only with an i386 architecture whose libraries match the
# installed amd64 ones, which a machine whose i386 package index cannot be fetched lacks.
probe=build/windows-x86/bin/nocase_test.exe
listing=$(timeout 120 wine "$probe" --gtest_list_tests </dev/null 2>/dev/null || true)
if grep -q '^[A-Za-z].*\.$' <<<"$listing"; then
    SECONDS=0
    ctest --preset windows-x86 -j "$jobs" --timeout 600
    echo "32-bit windows tests: ${SECONDS}s"
else
    echo "32-bit windows tests: built, not run: this Wine cannot start a 32-bit program" \
        "($probe did not list its tests: no wine32?)"
fi
