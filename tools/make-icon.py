#!/usr/bin/env python3
"""Draws the window icon: one 64 x 64 image, 32 bits per pixel, in a Windows .ico file.

Usage: tools/make-icon.py resources/RIZ_OVEDA.ico
"""
import math
import struct
import sys

SIZE = 64


def pixel(x, y):
    """RGBA of one pixel: a circuit-board chip on a rounded dark-blue tile."""
    cx, cy = x + 0.5, y + 0.5
    # Rounded tile with a transparent outside.
    r = 10.0
    dx = max(r - cx, 0.0, cx - (SIZE - r))
    dy = max(r - cy, 0.0, cy - (SIZE - r))
    if math.hypot(dx, dy) > r:
        return (0, 0, 0, 0)
    colour = (22, 44, 96, 255)
    # Copper traces.
    for t in (14, 26, 38, 50):
        if abs(cy - t) < 1.5 and (cx < 18 or cx > 46):
            colour = (214, 150, 60, 255)
        if abs(cx - t) < 1.5 and (cy < 18 or cy > 46):
            colour = (214, 150, 60, 255)
    # Chip body with a yellow outline and a green "link" light.
    if 18 <= cx <= 46 and 18 <= cy <= 46:
        edge = min(cx - 18, 46 - cx, cy - 18, 46 - cy)
        colour = (246, 211, 45, 255) if edge < 2.5 else (40, 40, 44, 255)
        if math.hypot(cx - 32, cy - 32) < 7:
            colour = (46, 180, 70, 255)
    return colour


def main(path):
    rows = []
    for y in reversed(range(SIZE)):  # DIB rows run bottom-up
        row = bytearray()
        for x in range(SIZE):
            r, g, b, a = pixel(x, y)
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    xor = b"".join(rows)
    and_mask = bytes(SIZE * SIZE // 8)  # alpha carries transparency; mask rows are 8 bytes
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(icondir + entry + image)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/RIZ_OVEDA.ico")
