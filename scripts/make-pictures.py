#!/usr/bin/env python3
"""Pictures that JPEG encoders around here cannot make by themselves.

  make-pictures.py png-alpha OUT.png   320x180: the left half opaque lime, the
                                       right half white but fully transparent
  make-pictures.py orient IN.jpg OUT.jpg N
                                       IN with an EXIF orientation tag of N
"""
import struct
import sys
import zlib


def png_alpha(path, width=320, height=180):
    row = b"".join(bytes((0, 255, 0, 255)) if x < width // 2 else bytes((255, 255, 255, 0)) for x in range(width))
    raw = b"".join(b"\x00" + row for _ in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def orient(src, dst, value):
    data = open(src, "rb").read()
    if data[:2] != b"\xff\xd8":
        sys.exit(f"{src}: not a JPEG file")
    # A TIFF header and one IFD with the Orientation tag (0x0112, SHORT).
    tiff = b"MM\x00\x2a" + struct.pack(">IH", 8, 1) + struct.pack(">HHIHH", 0x0112, 3, 1, value, 0) + struct.pack(">I", 0)
    body = b"Exif\x00\x00" + tiff
    with open(dst, "wb") as f:
        f.write(data[:2] + b"\xff\xe1" + struct.pack(">H", len(body) + 2) + body + data[2:])


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "png-alpha":
        png_alpha(sys.argv[2])
    elif len(sys.argv) == 5 and sys.argv[1] == "orient":
        orient(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        sys.exit(__doc__)
