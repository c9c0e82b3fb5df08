"""Numpy images as the library's (pointer, width, stride, height) groups.

An image is a 2-D uint8 array. Its row stride is taken from the array, so a
view of a wider image (``big[10:50, 20:80]``) is passed without a copy. The
library needs the bytes of a row next to each other: images only read are
copied when they are not laid out that way; images written in place are
rejected instead, since a copy would swallow the library's writes.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Gray:
    """An image checked for passing to the library."""

    array: np.ndarray
    width: int
    stride: int
    height: int

    @property
    def ptr(self) -> int:
        return self.array.ctypes.data


def _rows_contiguous(a: np.ndarray, pixel_bytes: int = 1) -> bool:
    if a.size == 0:
        return True  # nothing to lay out; the library rejects the empty size
    if a.shape[0] <= 1:
        return a.strides[-1] == 1 or a.shape[-1] <= 1
    return a.strides[0] >= a.shape[1] * pixel_bytes and a.strides[1] == pixel_bytes


def _check_array(a, what: str) -> np.ndarray:
    if not isinstance(a, np.ndarray):
        raise TypeError(f"{what}: expected a numpy array, got {type(a).__name__}")
    if a.dtype != np.uint8:
        raise TypeError(f"{what}: expected dtype uint8, got {a.dtype}")
    if a.ndim != 2:
        raise ValueError(f"{what}: expected a 2-D image, got {a.ndim} dimensions")
    return a


def _stride(a: np.ndarray) -> int:
    # A single row has no next row, and an empty image no bytes: their
    # stride is their width.
    return a.strides[0] if a.shape[0] > 1 and a.size else a.shape[1]


def gray_in(a, what: str) -> Gray:
    """An image the library only reads; copied when its rows are not contiguous."""
    a = _check_array(a, what)
    if not _rows_contiguous(a):
        a = np.ascontiguousarray(a)
    return Gray(a, a.shape[1], _stride(a), a.shape[0])


def gray_inout(a, what: str) -> Gray:
    """An image the library writes; must be writable with contiguous rows."""
    a = _check_array(a, what)
    if not a.flags.writeable:
        raise ValueError(f"{what}: the array is read-only and the call writes it")
    if not _rows_contiguous(a):
        raise ValueError(f"{what}: the call writes it in place, so the bytes of each row must be "
                         f"contiguous (strides {a.strides}); pass np.ascontiguousarray(...) and "
                         f"read the result from that array")
    return Gray(a, a.shape[1], _stride(a), a.shape[0])


def with_stride(a: np.ndarray, stride: int) -> np.ndarray:
    """A copy of image `a` held in rows of `stride` bytes (a view of the
    leading columns of a wider array)."""
    h, w = a.shape
    wide = np.zeros((h, max(stride, w)), np.uint8)
    wide[:, :w] = a
    return wide[:, :w]


def colour_inout(a, what: str) -> tuple[np.ndarray, int, int, int]:
    """A 24-bit colour image written in place: (height, width, 3) with
    contiguous pixels, or (height, 3 * width) bytes. Returns the array and its
    width in pixels, stride in bytes and height."""
    if not isinstance(a, np.ndarray) or a.dtype != np.uint8:
        raise TypeError(f"{what}: expected a uint8 numpy array")
    if not a.flags.writeable:
        raise ValueError(f"{what}: the array is read-only and the call writes it")
    if a.ndim == 3:
        if a.shape[2] != 3:
            raise ValueError(f"{what}: expected 3 bytes per pixel, got {a.shape[2]}")
        h, w = a.shape[:2]
        ok = a.strides[2] == 1 and a.strides[1] == 3 and (h <= 1 or a.strides[0] >= 3 * w)
    elif a.ndim == 2:
        if a.shape[1] % 3:
            raise ValueError(f"{what}: a row of {a.shape[1]} bytes is not whole pixels")
        h, w = a.shape[0], a.shape[1] // 3
        ok = a.strides[1] == 1 and (h <= 1 or a.strides[0] >= 3 * w)
    else:
        raise ValueError(f"{what}: expected (height, width, 3) or (height, 3 * width)")
    if not ok:
        raise ValueError(f"{what}: the call writes it in place, so the bytes of each row must be "
                         f"contiguous (strides {a.strides})")
    stride = a.strides[0] if h > 1 else 3 * w
    return a, w, stride, h
