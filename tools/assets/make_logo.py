#!/usr/bin/env python3
"""Draws the demo store's logo: a cup on its saucer with steam, the shop name and a
line of harbour waves. Writes a 1-bit BMP (palette: 0 white, 1 black, as most
editors save monochrome files) to the path given.

The letters come from the Terminus console fonts (Debian: console-setup-linux), the same
ones the virtual printer draws its receipts with.
"""
import gzip
import math
import struct
import sys

WIDTH, HEIGHT = 328, 100
FONTS = "/usr/share/consolefonts/"


def load_psf(name):
    data = gzip.open(FONTS + name).read()
    if data[:2] == b"\x36\x04":  # PSF1
        height = data[3]
        return 8, height, lambda c: data[4 + c * height:4 + (c + 1) * height]
    header, flags, count, size, height, width = struct.unpack("<IIIIII", data[8:32])
    row = (width + 7) // 8
    return width, height, lambda c: data[header + c * size:header + (c + 1) * size]


pixels = [[0] * WIDTH for _ in range(HEIGHT)]


def dot(x, y):
    if 0 <= x < WIDTH and 0 <= y < HEIGHT:
        pixels[y][x] = 1


def text(font, s, left, top, scale=1):
    width, height, glyph = load_psf(font)
    row = (width + 7) // 8
    for i, ch in enumerate(s):
        g = glyph(ord(ch))
        for y in range(height):
            for x in range(width):
                if g[y * row + x // 8] & (0x80 >> (x % 8)):
                    for sy in range(scale):
                        for sx in range(scale):
                            dot(left + (i * width + x) * scale + sx, top + y * scale + sy)


def cup(cx, top):
    # Steam: three wisps.
    for k in (-14, 0, 14):
        for y in range(top, top + 26):
            x = cx + k + round(3.5 * math.sin((y - top) / 4.0))
            for t in range(-1, 2):
                dot(x + t, y)
    # Body: a bowl, flat on top, round at the bottom.
    body_top, body_h, half = top + 32, 40, 30
    for y in range(body_top, body_top + body_h):
        f = (y - body_top) / body_h
        w = half if f < 0.55 else round(half * math.sqrt(max(0.0, 1 - ((f - 0.55) / 0.45) ** 2)))
        for x in range(cx - w, cx + w + 1):
            dot(x, y)
    # Handle: a ring on the right.
    hx, hy = cx + half + 2, body_top + 14
    for y in range(hy - 12, hy + 13):
        for x in range(hx - 12, hx + 13):
            r = math.hypot(x - hx, y - hy)
            if 6.5 <= r <= 11 and x >= hx - 2:
                dot(x, y)
    # Saucer.
    sy = body_top + body_h + 1
    for y in range(sy, sy + 6):
        w = 44 - (y - sy) * 3
        for x in range(cx - w, cx + w + 1):
            dot(x, y)


def waves(left, right, top):
    for x in range(left, right):
        y = top + round(3 * math.sin((x - left) / 5.0))
        for t in range(3):
            dot(x, y + t)


cup(50, 4)
text("Lat15-TerminusBold32x16.psf.gz", "HARBOUR", 112, 8)
text("Lat15-TerminusBold32x16.psf.gz", "CAFE", 112 + 16 * 8, 8)
waves(112, 112 + 16 * 12, 50)
text("Lat15-TerminusBold16.psf.gz", "COFFEE  BAKERY  SINCE 1998", 112, 66)
for y in range(94, 97):
    for x in range(112, 112 + 16 * 12):
        dot(x, y)

row_bytes = ((WIDTH + 31) // 32) * 4
body = bytearray()
for y in reversed(range(HEIGHT)):  # bottom-up, as BMP files usually are
    row = bytearray(row_bytes)
    for x in range(WIDTH):
        if pixels[y][x]:
            row[x // 8] |= 0x80 >> (x % 8)
    body += row
palette = bytes([255, 255, 255, 0, 0, 0, 0, 0])
offset = 14 + 40 + len(palette)
size = offset + len(body)
out = b"BM" + struct.pack("<IHHI", size, 0, 0, offset)
out += struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 1, 0, len(body), 8000, 8000, 2, 2)
out += palette + body
open(sys.argv[1], "wb").write(out)
