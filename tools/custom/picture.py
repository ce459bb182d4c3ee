#!/usr/bin/env python3
"""Writes a test splash picture of any size: an RGBA PNG with a transparent
surround, a shaded disc and a stripe that runs off its edges, so that a build
with it exercises placement, clipping and transparency.

    picture.py OUT.png [WIDTH HEIGHT]      (default 360 x 240)
"""
import struct
import sys
import zlib


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def pixels(w, h):
    cx, cy, r = w / 2, h / 2, min(w, h) * 0.42
    rows = []
    for y in range(h):
        row = bytearray([0])  # filter: none
        for x in range(w):
            d2 = (x - cx) ** 2 + (y - cy) ** 2
            if d2 <= r * r:
                shade = int(255 * (1 - d2 / (r * r)))
                row += bytes([40 + shade // 2, 90 + shade // 3, 200, 255])
            elif abs((y - cy) - (x - cx) * 0.25) < h * 0.06:
                row += bytes([240, 180, 30, 255])
            else:
                row += bytes([0, 0, 0, 0])
        rows.append(bytes(row))
    return b"".join(rows)


def main():
    if len(sys.argv) not in (2, 4):
        sys.exit(__doc__)
    w, h = (int(sys.argv[2]), int(sys.argv[3])) if len(sys.argv) == 4 else (360, 240)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(pixels(w, h), 9)) + chunk(b"IEND", b"")
    with open(sys.argv[1], "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main()
