#!/usr/bin/env python3
"""Runs a Windows test program under Wine with a pseudo-terminal mapped to a COM port.

Usage: com_pty.py EMULATOR PROGRAM [ARGS...]

The slave side is linked as $WINEPREFIX/dosdevices/comN (the first free N from 40) and
named to the program in THERMPOS_TEST_COM. This side plays the device: it answers b"PING"
with 0x14, stops reading at b"HOLD" (so that the line fills and writes stall) until the
program prints "thermpos-pty: release", and discards everything else. The link is removed
afterwards; the exit status is the program's.
"""
import os
import pty
import select
import subprocess
import sys
import threading
import tty

RELEASE = b"thermpos-pty: release"


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    master, slave = pty.openpty()
    tty.setraw(slave)  # no echo, no line-end translation before the program sets its own
    dosdevices = os.path.join(prefix, "dosdevices")
    link = None
    for n in range(40, 100):
        candidate = os.path.join(dosdevices, "com%d" % n)
        try:
            os.symlink(os.ttyname(slave), candidate)
        except FileExistsError:
            continue
        link, com = candidate, "COM%d" % n
        break
    if link is None:
        sys.exit("no free COM name under " + dosdevices)

    release = threading.Event()
    wake_r, wake_w = os.pipe()

    def forward(stream):
        for line in iter(stream.readline, b""):
            sys.stdout.buffer.write(line)
            sys.stdout.flush()
            if RELEASE in line:
                release.set()
                os.write(wake_w, b"x")
        release.set()  # the program ended: stop holding
        os.write(wake_w, b"x")

    try:
        env = dict(os.environ, THERMPOS_TEST_COM=com)
        proc = subprocess.Popen(sys.argv[1:], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE)
        reader = threading.Thread(target=forward, args=(proc.stdout,), daemon=True)
        reader.start()
        holding = False
        while proc.poll() is None or not release.is_set():
            if holding and not release.is_set():
                watched = [wake_r]  # the line stays full until the release
            else:
                holding = False
                watched = [master, wake_r]
            ready, _, _ = select.select(watched, [], [], 30)
            if wake_r in ready:
                os.read(wake_r, 64)
                if proc.poll() is not None:
                    break
            if master in ready:
                try:
                    data = os.read(master, 65536)
                except OSError:  # the program closed the port
                    data = b""
                if b"PING" in data:
                    os.write(master, b"\x14")
                if b"HOLD" in data:
                    holding = True
        proc.wait()
        reader.join(30)
        return proc.returncode
    finally:
        os.unlink(link)


if __name__ == "__main__":
    sys.exit(main())
