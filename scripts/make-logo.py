#!/usr/bin/env python3
"""Draws the agent's 600 x 600 RGBA logo: a blue disc with a white ring and
a white "L", anti-aliased by 4 x 4 supersampling. Standard library only.

    python3 scripts/make-logo.py resources/asset/MainLogoR.png
"""
import math
import struct
import sys
import zlib

SIZE = 600
SAMPLES = 4
CENTER = SIZE / 2


def coverage(x, y):
    """Returns (alpha, whiteness) of one sample point."""
    r = math.hypot(x - CENTER, y - CENTER)
    if r > 290:
        return 0.0, 0.0
    ring = 235 <= r <= 262
    letter = (200 <= x <= 262 and 160 <= y <= 440) or (200 <= x <= 400 and 378 <= y <= 440)
    return 1.0, 1.0 if (ring or letter) else 0.0


def pixel(px, py):
    alpha = white = 0.0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            a, w = coverage(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
            alpha += a
            white += w
    n = SAMPLES * SAMPLES
    alpha, white = alpha / n, (white / n) / max(alpha / n, 1e-9)
    t = py / SIZE  # the same blues as the window's gradient
    blue = (7 + 16 * t, 117 + 78 * t, 255)
    rgb = [round(c + (255 - c) * white) for c in blue]
    return bytes(rgb + [round(255 * alpha)])


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def main(path):
    rows = b"".join(b"\0" + b"".join(pixel(x, y) for x in range(SIZE)) for y in range(SIZE))
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as out:
        out.write(png)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/asset/MainLogoR.png")
