#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for MINUTES minutes, starting from its seed corpus in fuzz/corpus/<target>.
# Prints executions, seconds, executions per second, findings and corpus size per target;
# the inputs that failed are kept in build/fuzz/findings/<target>/. Exit status 1 when
# anything was found.
#
#   scripts/fuzz.sh MINUTES [TARGET...]
#   RUNS=N scripts/fuzz.sh MINUTES [TARGET...]
#
# With RUNS each target stops once it has made at least N executions (the last job of a
# run finishes first, so a few more are usual); MINUTES then only caps the time, 0 = no cap.
# MINUTES 0 without RUNS builds the targets and runs none of them.
# FORK=0 runs each target in one process, which is faster (no job restarts and corpus
# merges) but stops at its first finding; the default forks jobs and keeps going.
#
# clang comes with scripts/deps.sh (apt-get install clang).
set -euo pipefail

minutes=${1:-}
runs_wanted=${RUNS:-}
if ! [[ "$minutes" =~ ^[0-9]+([.][0-9]+)?$ ]] || ! [[ "$runs_wanted" =~ ^[0-9]*$ ]]; then
    echo "usage: [RUNS=N] $0 MINUTES [TARGET...]" >&2
    exit 2
fi
shift
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
all=(vprinter_model_fuzz sideways_measure_fuzz bmp_render_fuzz print_translation_fuzz
    reg_text_fuzz status_stream_fuzz binary_conversion_fuzz automation_invoke_fuzz)
targets=("$@")
[ $# -gt 0 ] || targets=("${all[@]}")

if ! command -v clang++ >/dev/null; then
    echo "clang++ not found: install the Debian package clang (scripts/deps.sh does)" >&2
    exit 2
fi

sanitize="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined"
sanitize+=" -fno-omit-frame-pointer -g"
# The shared sanitizer runtime, so that the project's shared libraries (linked with
# --no-undefined) resolve the sanitizers' and the coverage hooks' symbols.
linkflags="-fsanitize=address,undefined -shared-libsan"
runtime_dir=$(dirname "$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)")
export LD_LIBRARY_PATH="$runtime_dir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS="$sanitize" -DCMAKE_CXX_FLAGS="$sanitize" \
    -DCMAKE_EXE_LINKER_FLAGS="$linkflags" -DCMAKE_SHARED_LINKER_FLAGS="$linkflags" \
    -DTHERMPOS_LIBFUZZER=ON -DTHERMPOS_BUILD_GUI=OFF -DTHERMPOS_BUILD_BENCH=OFF >/dev/null
nice cmake --build "$build" -j2 --target "${targets[@]}"

seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
# libFuzzer takes -max_total_time=0 as "no limit": never run unbounded by accident.
if [ "$seconds" -eq 0 ] && [ -z "$runs_wanted" ]; then
    echo "built ${targets[*]}; MINUTES below one second and no RUNS: nothing run"
    exit 0
fi
limits=(-max_total_time="$seconds")
if [ "${FORK:-1}" = 0 ]; then
    limits+=(-print_final_stats=1)
else
    # -fork keeps going after a finding, so one run reports every distinct failure.
    limits+=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
fi
[ -z "$runs_wanted" ] || limits+=(-runs="$runs_wanted")
# intercept_tls_get_addr=0: see scripts/test.sh.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:verify_asan_link_order=0}:intercept_tls_get_addr=0
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
# Inputs that failed, kept from earlier runs too; a run reports only its own.
count_findings() {
    find "$1" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
        -o -name 'oom-*' \) | wc -l
}
found=0
summary=()
for t in "${targets[@]}"; do
    work="$build/corpus/$t"
    findings="$build/findings/$t"
    mkdir -p "$work" "$findings"
    seeds=()
    [ -d "$root/fuzz/corpus/$t" ] && seeds=("$root/fuzz/corpus/$t")
    log="$build/findings/$t.log"
    before=$(count_findings "$findings")
    echo "== $t: ${seconds} s${runs_wanted:+, $runs_wanted executions}"
    start=$(date +%s.%N)
    "$build/fuzz/$t" "$work" "${seeds[@]}" "${limits[@]}" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$findings/" -print_funcs=0 >"$log" 2>&1 || true
    took=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.0f", b - a }')
    # One process ends with its statistics (also when stopped with SIGINT); fork mode
    # prints "#RUNS: cov: ..." lines, the last one holding the total.
    runs=$( (grep -oE '^stat::number_of_executed_units: *[0-9]+' "$log" || true) |
        tail -1 | grep -oE '[0-9]+$' || true)
    [ -n "$runs" ] || runs=$( (grep -oE '^#[0-9]+' "$log" || true) | tail -1 | tr -d '#')
    runs=${runs:-0}
    hits=$(($(count_findings "$findings") - before))
    files=$(find "$work" -maxdepth 1 -type f | wc -l)
    rate=$(awk -v r="$runs" -v s="$took" 'BEGIN { printf "%.0f", (s > 0 ? r / s : 0) }')
    summary+=("$(printf '%-24s %12s %8s %9s %8s %8s' "$t" "$runs" "$took" "$rate" "$hits" "$files")")
    [ "$hits" -eq 0 ] || found=1
done
echo
printf '%-24s %12s %8s %9s %8s %8s\n' target executions seconds exec/s findings corpus
printf '%s\n' "${summary[@]}"
exit $found
