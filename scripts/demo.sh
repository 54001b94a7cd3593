#!/usr/bin/env bash
# Installs what is missing, builds, and runs `thermpos demo`: a sample receipt, the cash
# drawer opened and closed, and a few more receipts on the virtual printer through
# ThermSO, on a private registry and lock folder under ./demo-out (the system's registry
# is never touched). Ends with the paths of the receipt PNG files.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/deps.sh"
thermpos_install_deps

jobs=$(nproc 2>/dev/null || echo 2)
build="$root/build/demo"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" --target thermpos ThermSO

exec "$build/tools/thermpos" demo --server "$build/so/libThermSO.so" "$@"
