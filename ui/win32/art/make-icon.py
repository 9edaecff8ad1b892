#!/usr/bin/env python3
"""Packs square RGBA renderings into one Windows icon file.

Usage: make-icon.py OUT.ico SOURCE-256.rgba SIZE:FILE.rgba...
Every small size goes in three depths (16 colours, 256 colours, 32-bit with
alpha); the 256 x 256 image goes in as PNG, as Windows expects.
"""
import struct
import sys
import zlib


def read_rgba(path, size):
    data = open(path, "rb").read()
    if len(data) != size * size * 4:
        sys.exit(f"{path}: expected {size}x{size} RGBA")
    return [tuple(data[i:i + 4]) for i in range(0, len(data), 4)]


def png(pixels, size):
    raw = b"".join(b"\0" + bytes(c for p in pixels[y * size:(y + 1) * size] for c in p)
                   for y in range(size))

    def chunk(tag, body):
        return struct.pack(">I", len(body)) + tag + body + struct.pack(">I", zlib.crc32(tag + body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def palette_for(pixels, count, shift):
    # Most frequent opaque colours at a coarse precision; black always present.
    freq = {}
    for r, g, b, a in pixels:
        if a >= 128:
            key = (r >> shift, g >> shift, b >> shift)
            freq[key] = freq.get(key, 0) + 1
    best = sorted(freq, key=lambda k: -freq[k])[:count - 1]
    scale = 255 / ((255 >> shift) or 1)
    pal = [(0, 0, 0)] + [tuple(round(c * scale) for c in k) for k in best]
    return pal + [(0, 0, 0)] * (count - len(pal))


def nearest(pal, rgb):
    return min(range(len(pal)), key=lambda i: sum((pal[i][j] - rgb[j]) ** 2 for j in range(3)))


def row_bytes(bits, size):
    return ((bits * size + 31) // 32) * 4


def and_mask(pixels, size):
    out = bytearray()
    for y in reversed(range(size)):
        row = bytearray(row_bytes(1, size))
        for x in range(size):
            if pixels[y * size + x][3] < 128:
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def dib(pixels, size, bits):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0,
                         0 if bits == 32 else 1 << bits, 0)
    body = bytearray()
    if bits == 32:
        for y in reversed(range(size)):
            for r, g, b, a in pixels[y * size:(y + 1) * size]:
                body += bytes((b, g, r, a))
    else:
        pal = palette_for(pixels, 1 << bits, 4 if bits == 4 else 3)
        table = b"".join(bytes((b, g, r, 0)) for r, g, b in pal)
        cache = {}
        for y in reversed(range(size)):
            row = bytearray(row_bytes(bits, size))
            for x in range(size):
                r, g, b, a = pixels[y * size + x]
                i = 0 if a < 128 else cache.setdefault((r, g, b), nearest(pal, (r, g, b)))
                if bits == 8:
                    row[x] = i
                else:
                    row[x // 2] |= i << (4 if x % 2 == 0 else 0)
            body += row
        body = table + body
    return header + bytes(body) + and_mask(pixels, size)


def main():
    out, big = sys.argv[1], sys.argv[2]
    images = []
    for entry in sys.argv[3:]:
        size, path = entry.split(":", 1)
        size = int(size)
        pixels = read_rgba(path, size)
        for bits in (4, 8, 32):
            images.append((size, bits, dib(pixels, size, bits)))
    images.append((256, 32, png(read_rgba(big, 256), 256)))

    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = b""
    for size, bits, blob in images:
        colours = 16 if bits == 4 else 0
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bits, len(blob), offset)
        offset += len(blob)
        blobs += blob
    open(out, "wb").write(directory + blobs)


main()
