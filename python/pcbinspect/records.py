"""The records that cross the boundary, as numpy structured dtypes laid out
byte for byte as the C structs of the public header."""

from __future__ import annotations

import numpy as np

FLAW_CANDIDATE = np.dtype([("refX", "<f4"), ("refY", "<f4"), ("camX", "<f4"), ("camY", "<f4"),
                           ("carried", "<f4")])
HOLE_RECORD = np.dtype([("kind", "<i4"), ("x", "<i4"), ("y", "<i4"), ("radius", "<i4")])
FLAW_RECORD = np.dtype([("code", "<i4"), ("score", "<i4"), ("refX", "<i4"), ("refY", "<i4"),
                        ("camX", "<i4"), ("camY", "<i4"), ("region", "<i4")])
INSPECT_CONTROL = np.dtype([("tolerancePercent", "<i4"), ("unused", "<i4"),
                            ("padAreaLimit", "<i4"), ("lineWidthBound", "<i4"),
                            ("cameraWidthBound", "<i4")])
WIDTH_TOLERANCE = np.dtype([("key", "<f4"), ("excessLimit1", "<f4"), ("missingLimit1", "<f4"),
                            ("excessLimit2", "<f4"), ("missingLimit2", "<f4"),
                            ("differenceLimit", "<f4"), ("widenLimit", "<f4"),
                            ("narrowLimit", "<f4"), ("spacingLimit", "<f4")])
SUSPECT_RECORD = np.dtype([("refX", "<i4"), ("refY", "<i4"), ("windowX", "<i4"),
                           ("windowY", "<i4"), ("agreement", "<i4"), ("zero", "<i4")])
CIRCLE_RECORD = np.dtype([("x", "<f4"), ("y", "<f4"), ("radius", "<f4"), ("vote", "<f4")])

SIZES = {FLAW_CANDIDATE: 20, HOLE_RECORD: 16, FLAW_RECORD: 28, INSPECT_CONTROL: 20,
         WIDTH_TOLERANCE: 36, SUSPECT_RECORD: 24, CIRCLE_RECORD: 16}


def as_records(values, dtype: np.dtype, what: str) -> np.ndarray:
    """A C-contiguous 1-D array of `dtype` from a structured array, a list of
    tuples, or a plain 2-D array with one column per field."""
    a = np.asarray(values)
    if a.dtype == dtype:
        return np.ascontiguousarray(a.reshape(-1))
    if a.dtype.names is not None:
        raise TypeError(f"{what}: fields {a.dtype.names} do not match {dtype.names}")
    if a.size == 0:
        return np.zeros(0, dtype)
    n = len(dtype.names)
    if a.ndim != 2 or a.shape[1] != n:
        raise ValueError(f"{what}: expected records of {n} fields, got shape {a.shape}")
    out = np.zeros(a.shape[0], dtype)
    for i, name in enumerate(dtype.names):
        out[name] = a[:, i]
    return out
