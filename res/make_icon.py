#!/usr/bin/env python3
"""Draws the launcher's icon (a lit lantern on a night-blue disc) as
res/lantern.png. Run again after changing the drawing; the PNG is committed."""
import math
import struct
import sys
import zlib

SIZE = 64


def mix(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def pixel(x, y):
    cx, cy = SIZE / 2, SIZE / 2
    dx, dy = x + 0.5 - cx, y + 0.5 - cy
    r = math.hypot(dx, dy)
    if r > 31:
        return (0, 0, 0, 0)
    night = mix((24, 38, 84), (10, 16, 40), r / 31)
    colour = night
    glow = max(0.0, 1 - math.hypot(dx, dy + 2) / 22)
    colour = mix(colour, (255, 196, 90), glow * 0.55)
    # handle ring
    if 3.2 <= math.hypot(dx, dy + 20) <= 5.2 and dy < -19:
        colour = (60, 50, 40)
    # cap and base
    if -17 <= dy <= -13 and abs(dx) <= 11 - (dy + 17):
        colour = (70, 58, 44)
    if 15 <= dy <= 19 and abs(dx) <= 12:
        colour = (70, 58, 44)
    # glass with the flame
    if -13 < dy < 15 and abs(dx) <= 9:
        flame = math.hypot(dx / 4.5, (dy - 3) / 8)
        colour = mix((255, 236, 150), (250, 170, 60), min(1.0, flame))
        if abs(dx) > 8 or abs(dy - 1) < 0.6 and abs(dx) > 6:
            colour = (70, 58, 44)
    alpha = 255 if r < 30.5 else int(255 * (31 - r) * 2)
    return colour + (max(0, min(255, alpha)),)


def png(path):
    rows = b"".join(
        b"\0" + b"".join(bytes(pixel(x, y)) for x in range(SIZE)) for y in range(SIZE))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(rows, 9)))
        out.write(chunk(b"IEND", b""))


if __name__ == "__main__":
    png(sys.argv[1] if len(sys.argv) > 1 else "lantern.png")
