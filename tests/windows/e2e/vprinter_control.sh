#!/bin/sh
# Sends one command to a virtual printer's control socket; exits 0 when it answered ok.
#   vprinter_control.sh SOCKET COMMAND...
socket=$1
shift
answer=$(printf '%s\n' "$*" | nc -N -U "$socket") || exit 2
case $answer in ok*) exit 0 ;; *) echo "$answer" >&2; exit 1 ;; esac
