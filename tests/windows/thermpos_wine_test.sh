#!/usr/bin/env bash
# thermpos.exe under Wine, against Wine's own registry tools and the Linux programs.
#
#   thermpos_wine_test.sh CASE BIN_DIR TEMP_DIR [LINUX_THERMPOS] [LINUX_VPRINTER]
#
# CASE is one of reg-import, reg-export, devices, ports, demo. Every case works under keys
# of its own below SOFTWARE\ThermPOSWineTest and removes them, except devices and demo,
# which write the logical devices (CTest keeps those two apart). Exits 0 on success, 77 when a Linux
# program the case needs is not built (CTest shows the case as skipped, with the reason),
# else 1 with the reason on stderr.
set -uo pipefail

case_name=$1
bin=$2
tmp=$3/$case_name
linux_thermpos=${4:-}
linux_vprinter=${THERMPOS_VPRINTER:-${5:-}}
root='HKEY_LOCAL_MACHINE\SOFTWARE\ThermPOSWineTest'
devices='HKEY_LOCAL_MACHINE\SOFTWARE\OLEforRetail\ServiceOPOS'

rm -rf "$tmp" && mkdir -p "$tmp" || exit 1
cd "$tmp" || exit 1

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# Windows name of a path here (Wine's Z: is /).
win() { echo "Z:${1//\//\\}"; }
tool() { wine "$bin/thermpos.exe" "$@" </dev/null; }
# What a UTF-16LE regedit file says, as UTF-8 with LF.
text16() { tail -c +3 "$1" | iconv -f UTF-16LE -t UTF-8 | tr -d '\r'; }
# A regedit file from UTF-8 text with LF: UTF-16LE after a byte-order mark, CRLF.
make16() { { printf '\xff\xfe'; sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE; } >"$1"; }
regedit_export() {
    wine regedit /E "$(win "$PWD/$1")" "$2" </dev/null || fail "regedit /E $2"
    [ -s "$1" ] || fail "regedit wrote nothing for $2"
}
# Each value of a regedit file as "[key] value line" (continuations joined), sorted: the
# values of two files compare byte for byte whatever order their keys were written in.
values_of() {
    text16 "$1" | awk '
        /^\[/ { key = $0; next }
        /^$/ { next }
        { line = line $0; if (line ~ /\\$/) { sub(/\\$/, "", line); next }
          print key " " line; line = "" }' | LC_ALL=C sort
}

case $case_name in
reg-import)
    # A key the import deletes, and a value it removes.
    wine reg add "$root\\Import16\\Old" /v Stale /d 1 /f >/dev/null || fail "reg add"
    wine reg add "$root\\Import16" /v Gone /d 1 /f >/dev/null || fail "reg add"
    make16 utf16.reg <<'EOF'
Windows Registry Editor Version 5.00

[-HKEY_LOCAL_MACHINE\SOFTWARE\ThermPOSWineTest\Import16\Old]

[HKEY_LOCAL_MACHINE\SOFTWARE\ThermPOSWineTest\Import16]
"Text"="Grüße, 10 € \"quoted\" C:\\path"
"Num"=dword:0000002a
"Multi"=hex(7):61,00,00,00,e9,00,00,00,00,00
"Gone"=-
@="default"
EOF
    # The same values in UTF-8 without a byte-order mark, LF line ends.
    text16 utf16.reg | sed 's/Import16/Import8/g; /^\[-/,/^$/d; /"Gone"=-/d' >utf8.reg
    tool reg import "$(win "$PWD/utf16.reg")" || fail "thermpos reg import (UTF-16LE)"
    tool reg import "$(win "$PWD/utf8.reg")" || fail "thermpos reg import (UTF-8)"
    for key in Import16 Import8; do
        regedit_export "$key.reg" "$root\\$key"
        got=$(text16 "$key.reg")
        for line in '"Text"="Grüße, 10 € \"quoted\" C:\\path"' '"Num"=dword:0000002a' \
            '"Multi"=hex(7):61,00,00,00,e9,00,00,00,00,00' '@="default"'; do
            grep -qxF -- "$line" <<<"$got" || fail "$key: no line $line in:"$'\n'"$got"
        done
    done
    grep -q '"Gone"' <<<"$(text16 Import16.reg)" && fail "the \"Gone\"=- value is still there"
    wine reg query "$root\\Import16\\Old" >/dev/null 2>&1 && fail "the [-KEY] key is still there"
    # A file that does not parse changes nothing, and says where it failed.
    printf 'Windows Registry Editor Version 5.00\n\n[%s\\Bad]\n"A"="1"\n"B"=dword:xyz\n' \
        "$root" >bad.reg
    tool reg import "$(win "$PWD/bad.reg")" 2>err.txt && fail "a bad file was imported"
    grep -q 'bad.reg:5' err.txt || fail "the error does not name file and line: $(cat err.txt)"
    wine reg query "$root\\Bad" >/dev/null 2>&1 && fail "a bad file's first section was written"
    wine reg delete "$root\\Import16" /f >/dev/null 2>&1
    wine reg delete "$root\\Import8" /f >/dev/null 2>&1
    ;;

reg-export)
    # Every type, names that need escaping, a binary value long enough to wrap, a subkey,
    # a non-ASCII string; put there by Wine's own tools.
    wine reg add "$root\\Export" /ve /d "default" /f >/dev/null
    wine reg add "$root\\Export" /v 'Quote"And\Back' /d 'a"b\c' /f >/dev/null
    wine reg add "$root\\Export" /v Empty /d "" /f >/dev/null
    wine reg add "$root\\Export" /v Num /t REG_DWORD /d 4294967295 /f >/dev/null
    wine reg add "$root\\Export" /v Bin /t REG_BINARY /d "$(printf '%02x' $(seq 0 60))" /f >/dev/null
    wine reg add "$root\\Export" /v Exp /t REG_EXPAND_SZ /d '%SystemRoot%\x' /f >/dev/null
    wine reg add "$root\\Export" /v Multi /t REG_MULTI_SZ /d 'one\0two' /f >/dev/null
    wine reg add "$root\\Export\\b sub" /v X /d 1 /f >/dev/null
    wine reg add "$root\\Export\\A sub" /f >/dev/null
    make16 wide.reg <<'EOF'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\ThermPOSWineTest\Export\A sub]
"Wide"="Grüße € ✓"
EOF
    wine reg import "$(win "$PWD/wide.reg")" >/dev/null 2>&1 || fail "wine reg import"
    regedit_export wine.reg "$root\\Export"
    tool reg export "$root\\Export" "$(win "$PWD/ours.reg")" /y >/dev/null || fail "reg export"
    cmp wine.reg ours.reg || fail "thermpos reg export differs from regedit /E:"$'\n'"$(
        diff <(text16 wine.reg) <(text16 ours.reg))"
    # Standard output gets the same bytes: no line end translated on the way.
    tool reg export "$root\\Export" - >stdout.reg || fail "reg export -"
    cmp wine.reg stdout.reg || fail "reg export to standard output differs from the file"
    wine reg delete "$root\\Export" /f >/dev/null 2>&1
    ;;

devices)
    # install-devices writes the logical devices in the real registry.
    wine reg delete "$devices" /f >/dev/null 2>&1
    tool install-devices --port COM5 >/dev/null || fail "install-devices"
    q=$(wine reg query "$devices\\POSPrinter\\RTK410.TALVERN.POSPrinter" /s 2>&1)
    grep -q 'Port    REG_SZ    COM5' <<<"$q" || fail "no Port COM5 on the printer: $q"
    grep -q 'PhysicalDeviceID' <<<"$q" || fail "no PhysicalDeviceID on the printer: $q"
    wine reg query "$devices\\CashDrawer\\RTK6100.TALVERN.CD2" >/dev/null 2>&1 ||
        fail "the RT-K6100's second drawer is missing"

    # Wine's export, imported by thermpos.exe into an emptied tree, exports the same again.
    regedit_export before.reg "$devices"
    wine reg delete "$devices" /f >/dev/null || fail "reg delete"
    tool reg import "$(win "$PWD/before.reg")" >/dev/null || fail "thermpos reg import"
    regedit_export after.reg "$devices"
    cmp before.reg after.reg || fail "regedit -> thermpos.exe reg import -> regedit differs"

    [ -x "$linux_thermpos" ] || {
        echo "the Linux thermpos is not built ($linux_thermpos): the Windows checks passed," \
            "the round trip with the Linux export was not run; build the dev preset" >&2
        exit 77
    }
    # The Linux program's export, imported by Wine's reg: every value comes back byte for
    # byte (Wine writes keys and values sorted by name, the Linux hive in creation order).
    export THERMPOS_REGISTRY=$PWD/linux-hive.reg
    "$linux_thermpos" install-devices --port COM5 >/dev/null || fail "Linux install-devices"
    "$linux_thermpos" reg export "$devices" linux.reg /y >/dev/null || fail "Linux reg export"
    wine reg delete "$devices" /f >/dev/null || fail "reg delete"
    wine reg import "$(win "$PWD/linux.reg")" >/dev/null 2>&1 || fail "wine reg import"
    regedit_export wine.reg "$devices"
    diff <(values_of linux.reg) <(values_of wine.reg) >values.diff ||
        fail "Linux export -> Wine reg import -> regedit: values differ:"$'\n'"$(cat values.diff)"
    [ "$(values_of linux.reg | wc -l)" -gt 50 ] || fail "the Linux export holds too few values"
    ;;

ports)
    # A serial port of the device map appears in the port list.
    map='HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM'
    wine reg add "$map" /v '\Device\ThermPOSWineTest' /d COM47 /f >/dev/null || fail "reg add"
    trap 'wine reg delete "$map" /v "\\Device\\ThermPOSWineTest" /f >/dev/null 2>&1' EXIT
    list=$(tool ports list | tr -d '\r') || fail "ports list"
    grep -q '^COM47: ' <<<"$list" || fail "COM47 of SERIALCOMM is not listed:"$'\n'"$list"
    # The spooler's ports that are no printer ports are left out.
    grep -Eqi '^(FILE|NUL):' <<<"$list" && fail "a non-printer port is listed:"$'\n'"$list"
    [ "$(grep -c '^COM47:' <<<"$list")" -eq 1 ] || fail "COM47 listed twice"
    ;;

demo)
    [ -x "$linux_vprinter" ] || {
        echo "the Linux thermpos-vprinter is not built ($linux_vprinter): build the dev preset" >&2
        exit 77
    }
    # The COM port: the harness's last mapping when it gives one, else a device link of
    # our own (Wine reads it while its server runs).
    if [ -n "${THERMPOS_WINE_COM_LINKS:-}" ]; then
        pair=${THERMPOS_WINE_COM_LINKS##*;}
        port=${pair%%=*}
        link=${pair#*=}
    else
        port=COM29
        link=$PWD/com-link
        ln -sfn "$link" "$WINEPREFIX/dosdevices/com29" || fail "cannot make the COM29 link"
        own_link=$WINEPREFIX/dosdevices/com29
    fi
    mkdir -p out
    coproc vprinter { exec "$linux_vprinter" --link "$link" --out "$PWD/out" \
        --drawer-auto-close 1000 2>&1; }
    # Bash forgets vprinter_PID once the coprocess has ended.
    vprinter_pid=$vprinter_PID
    trap 'kill "$vprinter_pid" 2>/dev/null; wait "$vprinter_pid" 2>/dev/null
          [ -n "${own_link:-}" ] && rm -f "$own_link"' EXIT
    read -r -t 30 device <&"${vprinter[0]}" || fail "the virtual printer did not start"
    [ -L "$link" ] || fail "the virtual printer made no link at $link ($device)"

    tool demo --port "$port" --out "$(win "$PWD/demo-out")" >demo.txt 2>&1
    rc=$?
    tr -d '\r' <demo.txt >demo.log
    [ $rc -eq 0 ] || fail "thermpos.exe demo exited $rc:"$'\n'"$(cat demo.log)"
    for line in 'StatusUpdateEvent(1)  drawer open' 'StatusUpdateEvent(0)  drawer closed' \
        'OutputCompleteEvent(OutputID 3)'; do
        grep -qF "$line" demo.log || fail "no '$line' in:"$'\n'"$(cat demo.log)"
    done
    grep -Eq 'WaitForDrawerClose\(1000, 800, 100, 500\) +-> 0' demo.log ||
        fail "the drawer was not seen closed:"$'\n'"$(cat demo.log)"
    # What the printer made of it: the sample receipt and the three orders.
    kill "$vprinter_pid" && wait "$vprinter_pid" 2>/dev/null
    receipts=$(ls out/receipt-*.png 2>/dev/null | wc -l)
    [ "$receipts" -ge 4 ] || fail "the virtual printer finished $receipts receipts, not 4"
    ;;

*)
    fail "unknown case $case_name"
    ;;
esac
exit 0
