#!/usr/bin/env bash
# Compares our print data translation with general-purpose ESC/POS encoders from npm.
# Not part of CTest: it needs node, npm and registry access, and measures rather than
# asserts.
#
#   bench/peers/run.sh [ITERATIONS]
#
# 1. Installs the pinned encoders into a temporary folder (removed at exit). An encoder
#    that cannot be installed or loaded (for example one whose native module fails to
#    build) is listed as failed and skipped.
# 2. encode.mjs builds the same receipt with each of them: a centred double-size header,
#    address lines, 20 item rows, an underlined subtotal, a bold double-width total, a
#    reverse thank-you line, three lines of feed and a partial cut (about 40 lines).
# 3. peer_receipt (built here, Release) builds that receipt as print data with escape
#    sequences, in UTF-16 as PrintNormal takes it, converts it to the system code page as
#    the automation layer does and translates it for the RT-K410 in the same run; it times
#    the three together (the like-for-like figure: the peers' calls build and encode at
#    once) and each alone, in CPU time, the best of many short batches.
# 4. Every output is fed to the virtual printer's model; the printed lines, with their
#    alignment and attributes, the feeds and the cut are compared with ours, and where a
#    peer prints differently is listed.
#
# The build goes to build/peers (override with THERMPOS_PEERS_BUILD).
set -euo pipefail

iterations=${1:-2000}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${THERMPOS_PEERS_BUILD:-$root/build/peers}
for tool in node npm cmake; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool not found: the comparison needs node, npm and cmake" >&2
        exit 2
    fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/out"

peers=(escpos@2.5.2 @node-escpos/core@0.6.0 node-thermal-printer@4.6.1 receiptline@4.0.4
    @point-of-sale/receipt-printer-encoder@4.0.1)
echo "== installing ${peers[*]}"
# One at a time, so that one that fails does not keep the others out.
for p in "${peers[@]}"; do
    if ! nice npm install --prefix "$tmp" --no-audit --no-fund "$p" >>"$tmp/npm.log" 2>&1; then
        echo "   $p: install failed (see below); it is skipped"
        tail -5 "$tmp/npm.log" | sed 's/^/     /'
    fi
done

echo "== building peer_receipt in $build"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
    -DTHERMPOS_BUILD_GUI=OFF -DTHERMPOS_BUILD_TESTS=OFF >/dev/null
nice cmake --build "$build" -j2 --target peer_receipt >/dev/null

echo "== encoding"
nice node "$root/bench/peers/encode.mjs" "$tmp" "$tmp/out" "$iterations"
echo
nice "$build/bench/peer_receipt" "$tmp/out" "$iterations"
