#!/usr/bin/env python3
"""Draws the application icon: a recorder's hard disk (a dark case with a
silver platter and its read arm) with a red recording dot, written as an
RGBA PNG with nothing but the standard library.

    python3 res/make_icon.py [SIZE] [OUT.png]     (default 256, res/tarvik.png)
"""
import math
import os
import struct
import sys
import zlib

SUB = 4  # subsamples per pixel side, for smooth edges


def rounded_rect(x, y, x0, y0, x1, y1, r):
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def circle(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def segment(x, y, ax, ay, bx, by, half_width):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2 <= half_width * half_width


def shade(x, y):
    """Colour (r, g, b, a) of a point of the unit square; the last layer wins."""
    colour = (0, 0, 0, 0)
    if rounded_rect(x, y, 0.06, 0.06, 0.94, 0.94, 0.12):
        k = 1.0 - 0.25 * y  # the case is lit from above
        colour = (int(52 * k), int(64 * k), int(82 * k), 255)
    if circle(x, y, 0.47, 0.53, 0.34):
        d = math.hypot(x - 0.47, y - 0.53)
        ring = 206 + int(14 * math.cos(d * 150))  # the platter's fine grooves
        colour = (ring, ring, min(255, ring + 12), 255)
    if circle(x, y, 0.47, 0.53, 0.07):
        colour = (90, 96, 108, 255)
    if segment(x, y, 0.86, 0.86, 0.56, 0.62, 0.035):
        colour = (150, 156, 168, 255)
    if circle(x, y, 0.86, 0.86, 0.06):
        colour = (120, 126, 138, 255)
    if circle(x, y, 0.78, 0.22, 0.13):
        colour = (220, 36, 36, 255)
    if circle(x, y, 0.75, 0.19, 0.04):
        colour = (255, 140, 140, 255)
    return colour


def render(size):
    rows = []
    for py in range(size):
        row = bytearray([0])  # filter type 0
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SUB):
                for sx in range(SUB):
                    c = shade((px + (sx + 0.5) / SUB) / size, (py + (sy + 0.5) / SUB) / size)
                    a = c[3]
                    acc[0] += c[0] * a
                    acc[1] += c[1] * a
                    acc[2] += c[2] * a
                    acc[3] += a
            alpha = acc[3] / (SUB * SUB)
            if acc[3]:
                row += bytes(int(acc[i] / acc[3]) for i in range(3)) + bytes([int(alpha)])
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def png(size, pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(pixels, 9)) +
            chunk(b"IEND", b""))


def main():
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 256
    out = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "tarvik.png")
    with open(out, "wb") as f:
        f.write(png(size, render(size)))


if __name__ == "__main__":
    main()
