#!/usr/bin/env python3
"""Draws the updater's window icon (a round arrow over a remote control) at every size the
icon file carries, as 32-bit PNG images, and packs them into updater.ico."""
import math
import struct
import zlib

SIZES = [256, 128, 48, 32, 24, 16]


def pixel(x, y, n):
    # Coordinates in 0..1; a rounded blue square with a white circular arrow and a dark remote.
    u, v = (x + 0.5) / n, (y + 0.5) / n
    r = 0.18
    dx = max(abs(u - 0.5) - (0.5 - r), 0)
    dy = max(abs(v - 0.5) - (0.5 - r), 0)
    if dx * dx + dy * dy > r * r:
        return (0, 0, 0, 0)
    colour = (30, 110, 200, 255)
    # remote control body
    if 0.40 < u < 0.60 and 0.30 < v < 0.78:
        colour = (40, 40, 48, 255)
        for row in (0.40, 0.52, 0.64):
            if math.hypot(u - 0.5, v - row) < 0.045:
                colour = (230, 70, 60, 255)
    # circular arrow
    d = math.hypot(u - 0.5, v - 0.53)
    angle = math.degrees(math.atan2(v - 0.53, u - 0.5)) % 360
    if 0.30 < d < 0.37 and not (250 < angle < 300):
        colour = (255, 255, 255, 255)
    if 0.26 < u < 0.40 and 0.12 < v < 0.26 and (u - 0.26) > (v - 0.12) * 0.6:
        colour = (255, 255, 255, 255)
    return colour


def png(n):
    raw = bytearray()
    for y in range(n):
        raw.append(0)
        for x in range(n):
            raw.extend(pixel(x, y, n))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main():
    images = [png(n) for n in SIZES]
    for n, data in zip(SIZES, images):
        with open(f"updater-{n}.png", "wb") as f:
            f.write(data)
    offset = 6 + 16 * len(images)
    ico = struct.pack("<HHH", 0, 1, len(images))
    for n, data in zip(SIZES, images):
        ico += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open("updater.ico", "wb") as f:
        f.write(ico + b"".join(images))


if __name__ == "__main__":
    main()
