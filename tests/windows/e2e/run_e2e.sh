#!/usr/bin/env bash
# The service objects end to end under Wine, against the Linux virtual printer on the
# serial port COM7: registered with regsvr32, a printer and a drawer installed on that
# port, then driven by a JScript and a VBScript session through cscript and by a C++
# client in an STA and in the MTA. Finally what the printer decoded is checked: each
# retried receipt printed exactly once.
#
#   run_e2e.sh THERMSO_DLL HELPER_DLL CLIENT_EXE SCRIPT_DIR WORK_DIR
#
# THERMPOS_VPRINTER is the absolute path of the Linux thermpos-vprinter.
# COM7 must be mapped in the Wine prefix before its wineserver started:
# THERMPOS_WINE_COM_LINKS holds "COM7=<absolute symlink path>" (scripts/test-windows.sh);
# the virtual printer makes that link. WINEPREFIX and the rest of Wine's environment are
# the test preset's.
set -euo pipefail
thermso=$1 helper=$2 client=$3 scripts=$4 work=$5
vprinter=${THERMPOS_VPRINTER:-}
if [ ! -x "$vprinter" ]; then
    echo "THERMPOS_VPRINTER names no virtual printer program (scripts/test-windows.sh)" >&2
    exit 1
fi
port=COM7
link=$(printf '%s\n' "${THERMPOS_WINE_COM_LINKS:-}" | tr ';' '\n' | sed -n "s/^$port=//p")
if [ -z "$link" ]; then
    echo "THERMPOS_WINE_COM_LINKS maps no $port (see scripts/test-windows.sh)" >&2
    exit 1
fi
rm -rf "$work"
mkdir -p "$work/out"
control_socket=$work/control

# The printer is ready once it prints its device path.
coproc VP { exec "$vprinter" --link "$link" --control "$control_socket" --out "$work/out" \
    --drawer-auto-close 300 2>"$work/vprinter.log"; }
vp_pid=$VP_PID
# What this run adds to the prefix's one registry goes again at the end: the two
# servers' registrations, and the device keys unless they were there before.
added_keys=()
cleanup() {
    printf 'quit\n' | nc -N -U "$control_socket" >/dev/null 2>&1 || true
    wait "$vp_pid" 2>/dev/null || true
    for key in "${added_keys[@]}"; do wine reg delete "$key" /f >/dev/null 2>&1 || true; done
    wine regsvr32 /u /s "$(winepath -w "$helper")" >/dev/null 2>&1 || true
    wine regsvr32 /u /s "$(winepath -w "$thermso")" >/dev/null 2>&1 || true
}
trap cleanup EXIT
read -r -t 20 -u "${VP[0]}" device || { echo "virtual printer did not start" >&2; exit 1; }
echo "virtual printer on $device, $link as $port"

win() { winepath -w "$1"; }
wine regsvr32 /s "$(win "$thermso")"
wine regsvr32 /s "$(win "$helper")"

printer=RTK410.TALVERN.POSPrinter
drawer=RTK410.TALVERN.CD1
root='HKEY_LOCAL_MACHINE\SOFTWARE\OLEforRetail\ServiceOPOS'
cat >"$work/devices.reg" <<REG
REGEDIT4

[$root\\POSPrinter\\$printer]
@="QMX.Thermal.POSPrinter"
"PhysicalDeviceID"="RT-K410"
"Port"="$port"

[$root\\CashDrawer\\$drawer]
@="QMX.Thermal.CashDrawer"
"PrinterID"="$printer"
"CapStatus"="001"
"Port"="$port"
REG
for key in "$root\\POSPrinter\\$printer" "$root\\CashDrawer\\$drawer"; do
    wine reg query "$key" >/dev/null 2>&1 || added_keys+=("$key")
done
wine reg import "$(win "$work/devices.reg")" >/dev/null

control="/bin/sh $scripts/vprinter_control.sh $control_socket"
failed=0
for script in pos_session.js pos_session.vbs; do
    # Whatever a failed session left behind, each starts with the cover shut.
    $control cover close
    echo "== wine cscript //nologo $script $printer $drawer <control>"
    if ! wine cscript //nologo "$(win "$scripts/$script")" "$printer" "$drawer" "$control" \
        2>&1 | tr -d '\r' | tee "$work/$script.log"; then
        failed=1
    fi
    # cscript's exit code is the script's WScript.Quit code; tee hides it from the pipe.
    grep -q '^callbacks: ' "$work/$script.log" || { echo "$script: did not finish"; failed=1; }
done

echo "== $(basename "$client")"
$control cover close
THERMPOS_E2E_PRINTER=$printer THERMPOS_E2E_DRAWER=$drawer THERMPOS_E2E_CONTROL=$control \
    wine "$client" || failed=1

cleanup
trap - EXIT
# Each retried receipt reached the paper once, not once per attempt.
for text in "E2E retried receipt" "E2E vbs retried receipt" "E2E sta retried receipt" \
    "E2E mta retried receipt"; do
    n=$(grep -c -F "$text" "$work/out/commands.log" || true)
    echo "\"$text\" printed $n time(s)"
    [ "$n" -eq 1 ] || failed=1
done
exit $failed
