"""Reading image files: PNG of any kind but interlaced, read with zlib alone;
JPEG and other formats through Pillow when it is installed.

An image comes back as a 2-D uint8 array (gray, or gray with its alpha
dropped) or a (height, width, 3) uint8 array (colour, palette expanded,
alpha dropped); 16-bit samples keep their high byte and 1, 2 and 4-bit gray
is scaled to 0..255, as the tool reads them."""

from __future__ import annotations

import os
import struct
import zlib

import numpy as np

_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}  # colour type -> samples per pixel


def read_image(path: str | os.PathLike) -> np.ndarray:
    """The image in `path`, chosen by its first bytes; ValueError names the
    file when it cannot be read."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        if data.startswith(_SIGNATURE):
            return _read_png(data)
        return _read_other(path)
    except (ValueError, zlib.error, struct.error) as e:
        raise ValueError(f"{path}: {e}") from None


def image_size(path: str | os.PathLike) -> tuple[int, int]:
    """(width, height) of the image in `path`, from its header alone."""
    with open(path, "rb") as f:
        head = f.read(24)
    if head.startswith(_SIGNATURE):
        if head[12:16] != b"IHDR":
            raise ValueError(f"{path}: damaged PNG: no header")
        return struct.unpack(">II", head[16:24])
    try:
        from PIL import Image
    except ImportError:
        raise ValueError(f"{path}: not a PNG file, and Pillow (needed for JPEG and other "
                         f"formats) is not installed") from None
    try:
        with Image.open(path) as im:
            return im.size
    except OSError as e:
        raise ValueError(f"{path}: {e}") from None


def _read_other(path) -> np.ndarray:
    try:
        from PIL import Image
    except ImportError:
        raise ValueError("not a PNG file, and Pillow (needed for JPEG and other formats) is "
                         "not installed") from None
    with Image.open(path) as im:
        if im.mode not in ("L", "RGB"):
            im = im.convert("RGB" if im.mode in ("RGBA", "P", "CMYK", "YCbCr") else "L")
        return np.array(im, np.uint8)


def _unfilter(raw: bytes, height: int, row_bytes: int, bpp: int) -> np.ndarray:
    """The scanlines without their filters, (height, row_bytes) uint8.

    A byte depends on the byte a pixel to its left and on the byte above, so
    the pixels are undone one anti-diagonal (x + y constant) at a time, each
    diagonal at once: (height + width) numpy steps instead of one a byte."""
    size = height * (row_bytes + 1)
    lines = np.frombuffer(raw, np.uint8)
    if lines.size < size:
        raise ValueError("PNG image data is truncated")
    lines = lines[:size].reshape(height, row_bytes + 1)
    kinds = lines[:, 0].astype(np.int16)
    if kinds.max() > 4:
        raise ValueError(f"PNG row {int(np.argmax(kinds > 4))} has unknown filter "
                         f"{int(kinds.max())}")
    width = row_bytes // bpp  # whole pixels: row_bytes is a multiple of bpp
    data = lines[:, 1:].reshape(height, width, bpp).astype(np.int16)
    out = np.zeros((height + 1, width + 1, bpp), np.int16)  # a row and a column of 0 before
    for d in range(height + width - 1):
        ys = np.arange(max(0, d - width + 1), min(height - 1, d) + 1)
        xs = d - ys
        left, up, up_left = out[ys + 1, xs], out[ys, xs + 1], out[ys, xs]
        kind = kinds[ys][:, None]
        p = left + up - up_left
        pa, pb, pc = np.abs(p - left), np.abs(p - up), np.abs(p - up_left)
        paeth = np.where((pa <= pb) & (pa <= pc), left, np.where(pb <= pc, up, up_left))
        predictor = np.select([kind == 1, kind == 2, kind == 3, kind == 4],
                              [left, up, (left + up) >> 1, paeth], 0)
        out[ys + 1, xs + 1] = (data[ys, xs] + predictor) & 0xFF
    return out[1:, 1:].reshape(height, row_bytes).astype(np.uint8)


def _read_png(data: bytes) -> np.ndarray:
    pos, idat, header, palette = 8, [], None, None
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            palette = np.frombuffer(body, np.uint8).reshape(-1, 3)
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            break
    if header is None or not idat:
        raise ValueError("damaged PNG: no header or no image data")
    width, height, depth, colour, _, _, interlace = header
    if colour not in _CHANNELS or depth not in (1, 2, 4, 8, 16) or width < 1 or height < 1:
        raise ValueError(f"damaged PNG: colour type {colour}, depth {depth}, {width} x {height}")
    if interlace:
        raise ValueError("interlaced PNG is not read; save it without interlacing")
    if colour == 3 and palette is None:
        raise ValueError("damaged PNG: palette image without a palette")
    channels = _CHANNELS[colour]
    bits = depth * channels
    row_bytes = (width * bits + 7) // 8
    rows = _unfilter(zlib.decompress(b"".join(idat)), height, row_bytes, max(1, bits // 8))
    if depth == 16:
        samples = rows[:, 0::2]  # the high byte of each sample
    elif depth < 8:
        shifts = np.arange(8 - depth, -1, -depth, dtype=np.uint8)
        unpacked = (rows[:, :, None] >> shifts) & ((1 << depth) - 1)
        samples = unpacked.reshape(height, -1)[:, :width]
        if colour == 0:
            samples = samples * (255 // ((1 << depth) - 1))
    else:
        samples = rows
    samples = samples.reshape(height, width, channels).astype(np.uint8)
    if colour == 3:
        index = samples[..., 0]
        if int(index.max()) >= len(palette):
            raise ValueError("damaged PNG: palette index out of range")
        return palette[index]
    if channels in (1, 2):  # gray, with any alpha dropped
        return np.ascontiguousarray(samples[..., 0])
    return np.ascontiguousarray(samples[..., :3])
