"""A reader for the 8-bit gray, non-interlaced PNG files the tool writes."""

import struct
import zlib

import numpy as np


def read_gray_png(path) -> np.ndarray:
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is not a PNG file"
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    width, height, depth, colour, _, _, interlace = header
    assert (depth, colour, interlace) == (8, 0, 0), f"{path}: not 8-bit gray"
    raw = np.frombuffer(zlib.decompress(idat), np.uint8).reshape(height, width + 1)
    out = np.zeros((height, width), np.int32)
    prev = np.zeros(width, np.int32)
    for y in range(height):
        kind, line = raw[y, 0], raw[y, 1:].astype(np.int32)
        if kind == 0:
            row = line
        elif kind == 2:
            row = (line + prev) & 0xFF
        else:  # filters that depend on the pixel to the left
            row = np.zeros(width, np.int32)
            for x in range(width):
                left = row[x - 1] if x else 0
                up_left = prev[x - 1] if x else 0
                if kind == 1:
                    pred = left
                elif kind == 3:
                    pred = (left + prev[x]) // 2
                else:
                    p = left + prev[x] - up_left
                    pa, pb, pc = abs(p - left), abs(p - prev[x]), abs(p - up_left)
                    pred = left if pa <= pb and pa <= pc else (prev[x] if pb <= pc else up_left)
                row[x] = (line[x] + pred) & 0xFF
        out[y] = row
        prev = row
    return out.astype(np.uint8)
