#!/usr/bin/env python3
"""Makes an MP4 that plays well up to a point and then fails: one video sample
past FRACTION of the track claims a size no demuxer accepts.
  break-sample.py IN OUT FRACTION"""
import struct
import sys


def boxes(data, start, end):
    i = start
    while i + 8 <= end:
        size, kind = struct.unpack(">I4s", data[i:i + 8])
        if size < 8:
            return
        yield i, size, kind
        i += size


def find(data, start, end, path):
    for i, size, kind in boxes(data, start, end):
        if kind == path[0]:
            if len(path) == 1:
                return i, size
            found = find(data, i + 8, i + size, path[1:])
            if found:
                return found
    return None


def main():
    src, dst, fraction = sys.argv[1], sys.argv[2], float(sys.argv[3])
    data = bytearray(open(src, "rb").read())
    moov, moov_size = find(data, 0, len(data), [b"moov"])
    for trak, size in ((i, s) for i, s, k in boxes(data, moov + 8, moov + moov_size) if k == b"trak"):
        hdlr, _ = find(data, trak + 8, trak + size, [b"mdia", b"hdlr"])
        if data[hdlr + 16:hdlr + 20] != b"vide":
            continue
        stsz, _ = find(data, trak + 8, trak + size, [b"mdia", b"minf", b"stbl", b"stsz"])
        fixed, count = struct.unpack(">II", data[stsz + 12:stsz + 20])
        if fixed != 0:
            sys.exit("samples of one size: nothing to break")
        struct.pack_into(">I", data, stsz + 20 + 4 * int(count * fraction), 0x7FFFFFF0)
        open(dst, "wb").write(data)
        return
    sys.exit("no video track")


main()
