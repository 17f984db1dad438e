#!/usr/bin/env python3
"""A PNG of an Xvfb screen, or of one rectangle of it, read from the frame buffer file Xvfb keeps with -fbdir.

    xvfb_picture.py FRAMEBUFFER OUT.png [X Y WIDTH HEIGHT]

Needs nothing beyond Python: the frame buffer is an XWD image (ZPixmap, 24-bit colour in 32-bit pixels) and
PNG is a zlib stream with a few checksummed chunks.
"""
import struct
import sys
import zlib

XWD_HEADER = struct.Struct(">25I")


def read_screen(path):
    with open(path, "rb") as stream:
        data = stream.read()
    fields = XWD_HEADER.unpack_from(data)
    header_size, version, pixmap_format, depth, width, height = fields[:6]
    byte_order, bits_per_pixel, bytes_per_line, colormap_entries = fields[7], fields[11], fields[12], fields[19]
    if version != 7 or pixmap_format != 2 or bits_per_pixel != 32 or depth != 24:
        sys.exit(f"{path}: not a 24-bit Xvfb frame buffer (format {pixmap_format}, {bits_per_pixel} bpp)")
    pixels = header_size + colormap_entries * 12
    return data, pixels, width, height, bytes_per_line, byte_order


def png_chunk(kind, payload):
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def main(argv):
    if len(argv) not in (3, 7):
        sys.exit(__doc__)
    data, start, width, height, stride, byte_order = read_screen(argv[1])
    left, top, cut_width, cut_height = map(int, argv[3:]) if len(argv) == 7 else (0, 0, width, height)
    left, top = max(left, 0), max(top, 0)
    cut_width, cut_height = min(cut_width, width - left), min(cut_height, height - top)
    # Least significant byte first (the usual case) stores each pixel as blue, green, red, unused.
    blue, green, red = (0, 1, 2) if byte_order == 0 else (3, 2, 1)
    rows = bytearray()
    for y in range(top, top + cut_height):
        line = data[start + y * stride + left * 4: start + y * stride + (left + cut_width) * 4]
        rgb = bytearray(cut_width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = line[red::4], line[green::4], line[blue::4]
        rows += b"\0" + rgb
    header = struct.pack(">IIBBBBB", cut_width, cut_height, 8, 2, 0, 0, 0)
    with open(argv[2], "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) +
                  png_chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + png_chunk(b"IEND", b""))


if __name__ == "__main__":
    main(sys.argv)
