#!/usr/bin/env bash
# The service objects end to end under Wine, against the Linux virtual printer on the
# serial port COM7 or over TCP (a socket:// port): ThermSO.dll and our control objects'
# ThermCO.dll registered with regsvr32, a printer and a drawer installed on that port,
# then driven by a JScript and a VBScript session through cscript, each once with the
# service objects by their ProgIDs (the script's object as control object) and once with
# our control objects (the script's object as their EventSink), and by a C++ client in an
# STA and in the MTA. Finally what the printer decoded is checked: each retried receipt
# printed exactly once.
#
#   run_e2e.sh serial|tcp THERMSO_DLL THERMCO_DLL HELPER_DLL CLIENT_EXE SCRIPT_DIR WORK_DIR
#
# THERMPOS_VPRINTER is the absolute path of the Linux thermpos-vprinter.
# For serial, COM7 must be mapped in the Wine prefix before its wineserver started:
# THERMPOS_WINE_COM_LINKS holds "COM7=<absolute symlink path>" (scripts/test-windows.sh);
# the virtual printer makes that link. WINEPREFIX and the rest of Wine's environment are
# the test preset's.
set -euo pipefail
transport=$1 thermso=$2 thermco=$3 helper=$4 client=$5 scripts=$6 work=$7
vprinter=${THERMPOS_VPRINTER:-}
if [ ! -x "$vprinter" ]; then
    echo "THERMPOS_VPRINTER names no virtual printer program (scripts/test-windows.sh)" >&2
    exit 1
fi
portsKey='HKEY_LOCAL_MACHINE\SOFTWARE\ThermPOS\Ports'
case $transport in
serial)
    port=COM7
    link=$(printf '%s\n' "${THERMPOS_WINE_COM_LINKS:-}" | tr ';' '\n' | sed -n "s/^$port=//p")
    if [ -z "$link" ]; then
        echo "THERMPOS_WINE_COM_LINKS maps no $port (see scripts/test-windows.sh)" >&2
        exit 1
    fi
    serve=(--link "$link")
    ;;
tcp)
    # A port name of our own, mapped to the address the printer listens on.
    port=E2ENET
    serve=(--listen 127.0.0.1:0)
    ;;
*)
    echo "run_e2e.sh: transport is serial or tcp, not $transport" >&2
    exit 1
    ;;
esac
rm -rf "$work"
mkdir -p "$work/out"
control_socket=$work/control

# The printer is ready once it prints its device path (or the address it listens on).
coproc VP { exec "$vprinter" "${serve[@]}" --control "$control_socket" --out "$work/out" \
    --drawer-auto-close 300 2>"$work/vprinter.log"; }
vp_pid=$VP_PID
# What this run adds to the prefix's one registry goes again at the end: the servers'
# registrations, the port's map entry, and the device keys unless they were there before.
added_keys=()
cleanup() {
    printf 'quit\n' | nc -N -U "$control_socket" >/dev/null 2>&1 || true
    wait "$vp_pid" 2>/dev/null || true
    for key in "${added_keys[@]}"; do wine reg delete "$key" /f >/dev/null 2>&1 || true; done
    if [ "$transport" = tcp ]; then
        wine reg delete "$portsKey" /v "$port" /f >/dev/null 2>&1 || true
    fi
    for dll in "$helper" "$thermco" "$thermso"; do
        wine regsvr32 /u /s "$(winepath -w "$dll")" >/dev/null 2>&1 || true
    done
}
trap cleanup EXIT
read -r -t 20 -u "${VP[0]}" device || { echo "virtual printer did not start" >&2; exit 1; }
if [ "$transport" = serial ]; then
    echo "virtual printer on $device, $link as $port"
else
    echo "virtual printer listening on $device, socket://$device as $port"
fi

win() { winepath -w "$1"; }
for dll in "$thermso" "$thermco" "$helper"; do wine regsvr32 /s "$(win "$dll")"; done

printer=RTK410.TALVERN.POSPrinter
drawer=RTK410.TALVERN.CD1
root='HKEY_LOCAL_MACHINE\SOFTWARE\OLEforRetail\ServiceOPOS'
# The drawer's pulse is 100 ms (OnTime 1): a printer ignores a kick while a pulse is
# still going out (on time plus as long again), and the sessions follow one another
# faster than a 1 s pulse's 2 s; each ends only after its drawer closed again, 300 ms
# after its kick.
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
"OnTime"="1"
"Port"="$port"
REG
if [ "$transport" = tcp ]; then
    printf '\n[%s]\n"%s"="socket://%s"\n' "$portsKey" "$port" "$device" >>"$work/devices.reg"
fi
for key in "$root\\POSPrinter\\$printer" "$root\\CashDrawer\\$drawer"; do
    wine reg query "$key" >/dev/null 2>&1 || added_keys+=("$key")
done
wine reg import "$(win "$work/devices.reg")" >/dev/null

control="/bin/sh $scripts/vprinter_control.sh $control_socket"
failed=0
for script in pos_session.js pos_session.vbs; do
    for binding in so co; do
        # Whatever a failed session left behind, each starts with the cover shut.
        $control cover close
        echo "== wine cscript //nologo $script $printer $drawer <control> $binding"
        log=$work/$script.$binding.log
        if ! wine cscript //nologo "$(win "$scripts/$script")" "$printer" "$drawer" "$control" \
            "$binding" 2>&1 | tr -d '\r' | tee "$log"; then
            failed=1
        fi
        # cscript's exit code is the script's WScript.Quit code; tee hides it from the pipe.
        grep -q '^callbacks: ' "$log" || { echo "$script $binding: did not finish"; failed=1; }
    done
done

echo "== $(basename "$client")"
$control cover close
THERMPOS_E2E_PRINTER=$printer THERMPOS_E2E_DRAWER=$drawer THERMPOS_E2E_CONTROL=$control \
    wine "$client" || failed=1

cleanup
trap - EXIT
# Each retried receipt reached the paper once, not once per attempt.
for text in "E2E js so retried receipt" "E2E js co retried receipt" \
    "E2E vbs so retried receipt" "E2E vbs co retried receipt" \
    "E2E sta retried receipt" "E2E mta retried receipt"; do
    n=$(grep -c -F "$text" "$work/out/commands.log" || true)
    echo "\"$text\" printed $n time(s)"
    [ "$n" -eq 1 ] || failed=1
done
exit $failed
