#!/usr/bin/env python3
"""Draws the tool's icon once and writes it at every size it is used at.

The window icon is a Windows .ico file holding one 64 x 64 image, 32 bits per pixel;
the desktop's icon theme takes PNG files at 16, 32, 48, 64, 128 and 256 pixels.

Usage: tools/make-icon.py [--ico FILE] [--hicolor DIR]
  --ico FILE     write the window icon (the committed one is resources/RIZ_OVEDA.ico)
  --hicolor DIR  write DIR/<N>x<N>/apps/riz-oveda.png for every theme size
"""
import argparse
import math
import os
import struct
import zlib

SIZE = 64  # the drawing's own grid; pixel() takes coordinates on it
THEME_SIZES = (16, 32, 48, 64, 128, 256)


def pixel(cx, cy):
    """RGBA at one point of the drawing: a circuit-board chip on a rounded dark-blue tile."""
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


def render(size):
    """Rows of RGBA pixels, top row first.

    At the drawing's own size each pixel takes the point at its centre, which keeps the
    window icon sharp. Other sizes average a grid of points per pixel, fine enough for
    the thin traces to stay visible at 16 pixels.
    """
    if size == SIZE:
        return [[pixel(x + 0.5, y + 0.5) for x in range(size)] for y in range(size)]
    step = SIZE / size
    n = max(2, math.ceil(4 * step))
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            sums = [0.0, 0.0, 0.0, 0.0]
            for j in range(n):
                for i in range(n):
                    r, g, b, a = pixel((x + (i + 0.5) / n) * step, (y + (j + 0.5) / n) * step)
                    sums[0] += r * a
                    sums[1] += g * a
                    sums[2] += b * a
                    sums[3] += a
            alpha = sums[3] / (n * n)
            if sums[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(round(c / sums[3]) for c in sums[:3]) + (round(alpha),))
        rows.append(row)
    return rows


def ico_bytes():
    rows = render(SIZE)
    # DIB rows run bottom-up, pixels in BGRA order.
    xor = b"".join(bytes(c for r, g, b, a in row for c in (b, g, r, a)) for row in reversed(rows))
    and_mask = bytes(SIZE * SIZE // 8)  # alpha carries transparency; mask rows are 8 bytes
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return icondir + entry + image


def png_bytes(size):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\x00" + bytes(c for p in row for c in p) for row in render(size))
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def write(path, data):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    parser = argparse.ArgumentParser(description="Draws the tool's icon.")
    parser.add_argument("--ico", metavar="FILE", help="write the 64 x 64 window icon")
    parser.add_argument("--hicolor", metavar="DIR", help="write the icon theme's PNG files")
    args = parser.parse_args()
    if not args.ico and not args.hicolor:
        parser.error("nothing to write: give --ico, --hicolor or both")
    if args.ico:
        write(args.ico, ico_bytes())
    if args.hicolor:
        for size in THEME_SIZES:
            write(os.path.join(args.hicolor, f"{size}x{size}", "apps", "riz-oveda.png"), png_bytes(size))


if __name__ == "__main__":
    main()
