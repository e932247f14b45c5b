#!/usr/bin/env python3
"""Draws warning.png, the built-in warning icon: a yellow triangle with a black
border and a black exclamation mark on a transparent ground, edges smoothed by
supersampling. Standard library only, so the icon can be remade anywhere."""
import math
import struct
import sys
import zlib

WIDTH, HEIGHT = 56, 55
PIXELS_PER_METRE = 2834
YELLOW = (225, 208, 64)
BLACK = (0, 0, 0)
SUBSAMPLES = 8

APEX = (28.0, 1.5)
BASE_LEFT = (1.5, 53.0)
BASE_RIGHT = (54.5, 53.0)
BORDER = 3.2


def edge_distances(x, y):
    """Signed distances to the three sides, positive inside the triangle."""
    corners = (APEX, BASE_RIGHT, BASE_LEFT)
    result = []
    for i in range(3):
        (x0, y0), (x1, y1) = corners[i], corners[(i + 1) % 3]
        nx, ny = y0 - y1, x1 - x0
        length = math.hypot(nx, ny)
        result.append(((x - x0) * nx + (y - y0) * ny) / length)
    return result


def in_mark(x, y):
    # The bar narrows towards its foot, the dot sits below it.
    if 17.0 <= y <= 38.0:
        half = 3.0 - 1.2 * (y - 17.0) / 21.0
        return abs(x - 28.0) <= half
    return math.hypot(x - 28.0, y - 44.5) <= 3.1


def sample(x, y):
    d = edge_distances(x, y)
    if min(d) < 0:
        return None
    if min(d) < BORDER or in_mark(x, y):
        return BLACK
    return YELLOW


def render():
    rows = []
    for py in range(HEIGHT):
        row = bytearray([0])  # filter type None
        for px in range(WIDTH):
            covered, sums = 0, [0, 0, 0]
            for sy in range(SUBSAMPLES):
                for sx in range(SUBSAMPLES):
                    colour = sample(px + (sx + 0.5) / SUBSAMPLES, py + (sy + 0.5) / SUBSAMPLES)
                    if colour is not None:
                        covered += 1
                        for c in range(3):
                            sums[c] += colour[c]
            if covered == 0:
                row += bytes(4)
            else:
                row += bytes(round(s / covered) for s in sums)
                row.append(round(255 * covered / SUBSAMPLES**2))
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def main(path):
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 6, 0, 0, 0))
    png += chunk(b"pHYs", struct.pack(">IIB", PIXELS_PER_METRE, PIXELS_PER_METRE, 1))
    png += chunk(b"IDAT", zlib.compress(render(), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "warning.png")
