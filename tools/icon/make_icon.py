#!/usr/bin/env python3
"""Draws the launcher's icon (a speech bubble with three dots on a blue tile): the Windows .ico file, or one
PNG of a given size for the Linux desktop's icon theme.

    make_icon.py OUT.ico
    make_icon.py --png SIZE OUT.png

In the .ico, sizes 16, 24, 32 and 48 as 32-bit bitmaps (every Windows version reads them), 256 as PNG. Shapes
are sampled 4x4 per pixel for smooth edges (2x2 above 48 pixels). Python only, so the icon can be remade anywhere.
"""
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 256)
TILE = (0x1F, 0x5F, 0xB0)
BUBBLE = (0xFF, 0xFF, 0xFF)
DOTS = (0x1F, 0x5F, 0xB0)


def inside_rounded(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)


def colour_at(u, v):
    """The colour (r, g, b, a) at a point of the unit square, y downwards."""
    if not inside_rounded(u, v, 0.02, 0.02, 0.98, 0.98, 0.2):
        return None
    for dot in (0.32, 0.5, 0.68):
        if (u - dot) ** 2 + (v - 0.43) ** 2 <= 0.06 ** 2:
            return DOTS
    if inside_rounded(u, v, 0.16, 0.2, 0.84, 0.66, 0.12) or \
            inside_triangle(u, v, (0.3, 0.6), (0.48, 0.6), (0.26, 0.82)):
        return BUBBLE
    return TILE


def render(size, samples=4):
    """Rows top to bottom of (r, g, b, a) pixels."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            r = g = b = a = 0
            for sy in range(samples):
                for sx in range(samples):
                    colour = colour_at((x + (sx + 0.5) / samples) / size, (y + (sy + 0.5) / samples) / size)
                    if colour:
                        r, g, b, a = r + colour[0], g + colour[1], b + colour[2], a + 1
            n = samples * samples
            row.append((r // a, g // a, b // a, 255 * a // n) if a else (0, 0, 0, 0))
        rows.append(row)
    return rows


def bitmap_entry(size, rows):
    # A DIB of doubled height: the colour rows bottom-up, then a 1-bit AND mask (zero: alpha decides).
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_stride * size)


def png_entry(size, rows):
    def chunk(kind, payload):
        return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))
    raw = b"".join(b"\0" + bytes(c for pixel in row for c in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def render_sized(size):
    return render(size, samples=4 if size <= 48 else 2)


def write_png(size, path):
    if not 1 <= size <= 1024:
        sys.exit(f"a PNG icon is 1 to 1024 pixels square, not {size}")
    with open(path, "wb") as out:
        out.write(png_entry(size, render_sized(size)))


def write_ico(path):
    images = []
    for size in SIZES:
        rows = render_sized(size)
        images.append((size, png_entry(size, rows) if size >= 256 else bitmap_entry(size, rows)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as out:
        out.write(directory + b"".join(data for _, data in images))


def main(argv):
    if len(argv) == 2 and not argv[1].startswith("-"):
        write_ico(argv[1])
    elif len(argv) == 4 and argv[1] == "--png" and argv[2].isdigit():
        write_png(int(argv[2]), argv[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
