"""Defects: one box and one type per flaw, from the placed camera window, the
reference copper in its frame and the library's flaw records, computed by
the tool's compiled code (libpcbinspect_tool, tools/pcbinspect/defects.cpp)
so that Python and the command-line tool give the same defects; and the box
matching of `evaluate --match box`."""

from __future__ import annotations

import ctypes

import numpy as np

from . import records as rec
from ._tool_library import tool_library, tool_error
from .errors import PcbInspectError
from .presets import DEFECT_TYPES

#: One defect: box corners (inclusive, camera pixels), type name, confidence
#: (0 to 1), and the indices of its records (an object column of int32 arrays).
DEFECT = np.dtype([("x1", np.int32), ("y1", np.int32), ("x2", np.int32), ("y2", np.int32),
                   ("type", "U16"), ("confidence", np.float32), ("records", object)])

_PCBTOOL_DEFECT = np.dtype([("x1", np.int32), ("y1", np.int32), ("x2", np.int32),
                            ("y2", np.int32), ("type", np.int32), ("confidence", np.float32),
                            ("first", np.int32), ("count", np.int32)])

_vp = ctypes.c_void_p
_i32 = ctypes.c_int32


def _lib():
    lib = tool_library()
    if not getattr(lib, "_defects_typed", False):
        lib.pcbtool_find_defects.argtypes = [_vp, _i32, _vp, _i32, _i32, _i32, _vp, _i32, _i32,
                                             _i32, _vp, _i32, _vp, _vp]
        lib.pcbtool_reference_window.argtypes = [_vp, _i32, _i32, _i32, _vp, _i32, _i32, _i32,
                                                 _i32, _i32, _vp, _vp, _i32]
        lib.pcbtool_match_boxes.argtypes = [_vp, _vp, _i32, _vp, _vp, _vp, _i32,
                                            ctypes.c_double, _i32, _vp]
        lib.pcbtool_average_precision.argtypes = [_vp, _vp, _i32, _i32,
                                                  ctypes.POINTER(ctypes.c_double)]
        for name in ("pcbtool_find_defects", "pcbtool_reference_window", "pcbtool_match_boxes",
                     "pcbtool_average_precision"):
            getattr(lib, name).restype = ctypes.c_int
        lib._defects_typed = True
    return lib


def _check(lib, status: int, name: str) -> None:
    if status != 0:
        raise PcbInspectError(tool_error(lib), name)


def _plane(a, what: str) -> np.ndarray:
    a = np.asarray(a)
    if a.ndim != 2:
        raise ValueError(f"{what} must be a 2-D image, not of shape {a.shape}")
    return np.ascontiguousarray(a, np.uint8)


def _ptr(a: np.ndarray):
    return a.ctypes.data_as(_vp)


def reference_window(labels, camera, position, offsets=None) -> np.ndarray:
    """The reference copper (0/255) seen through the placed camera window:
    labels (CAD labels or 0/255 golden copper) read at each camera pixel
    plus `position` plus its offset-grid cell's correction where that brings
    the copper closer to the camera's."""
    lab, cam = _plane(labels, "labels"), _plane(camera, "camera")
    out = np.zeros_like(cam)
    grid = None if offsets is None else np.ascontiguousarray(offsets, np.int32).reshape(25, 2)
    lib = _lib()
    _check(lib, lib.pcbtool_reference_window(
        _ptr(lab), lab.shape[1], lab.shape[1], lab.shape[0], _ptr(cam), cam.shape[1],
        cam.shape[1], cam.shape[0], int(position[0]), int(position[1]),
        None if grid is None else _ptr(grid), _ptr(out), out.shape[1]),
        "pcbtool_reference_window")
    return out


def find_defects(camera, reference, flaws, *, box_margin: int = 8, cad: bool = True) -> np.ndarray:
    """The defects of a placed inspection (a DEFECT structured array).

    camera: the camera's binary window; reference: the reference copper in
    the camera's frame (same shape; non-zero is copper in both); flaws:
    FLAW_RECORD records in camera coordinates; cad: the records' width,
    spacing, pad and hole families may name a type."""
    cam, ref = _plane(camera, "camera"), _plane(reference, "reference")
    if cam.shape != ref.shape:
        raise ValueError(f"reference {ref.shape} differs from the camera window {cam.shape}")
    flaws = np.ascontiguousarray(rec.as_records(flaws, rec.FLAW_RECORD, "flaws"))
    n = len(flaws)
    raw = np.zeros(max(n, 1), _PCBTOOL_DEFECT)
    indices = np.zeros(max(n, 1), np.int32)
    count = ctypes.c_int32(0)
    lib = _lib()
    _check(lib, lib.pcbtool_find_defects(
        _ptr(cam), cam.shape[1], _ptr(ref), ref.shape[1], cam.shape[1], cam.shape[0],
        _ptr(flaws) if n else None, n, int(box_margin), 1 if cad else 0, _ptr(raw), len(raw),
        _ptr(indices), ctypes.byref(count)), "pcbtool_find_defects")
    return _defects_of(raw, indices, count.value)


def _defects_of(raw: np.ndarray, indices: np.ndarray, count: int) -> np.ndarray:
    """DEFECT records from the compiled code's defects and record indices."""
    out = np.zeros(count, DEFECT)
    for i, d in enumerate(raw[:count]):
        out[i] = (d["x1"], d["y1"], d["x2"], d["y2"], DEFECT_TYPES[d["type"]], d["confidence"],
                  indices[d["first"]:d["first"] + d["count"]].copy())
    return out


def _type_numbers(types) -> np.ndarray:
    return np.array([DEFECT_TYPES.index(t) if t in DEFECT_TYPES else -1 for t in types],
                    np.int32)


def match_boxes(truth_boxes, truth_types, boxes, types, confidences, *, min_iou: float = 0.33,
                same_type: bool = True) -> np.ndarray:
    """One-to-one matching, greedy by falling confidence, at IoU above
    min_iou: per detection the index of its truth box or -1."""
    tb = np.ascontiguousarray(np.asarray(truth_boxes, np.int32).reshape(-1, 4))
    db = np.ascontiguousarray(np.asarray(boxes, np.int32).reshape(-1, 4))
    tt, dt = _type_numbers(truth_types), _type_numbers(types)
    conf = np.ascontiguousarray(confidences, np.float32)
    match = np.full(len(db), -1, np.int32)
    lib = _lib()
    _check(lib, lib.pcbtool_match_boxes(_ptr(tb), _ptr(tt), len(tb), _ptr(db), _ptr(dt),
                                        _ptr(conf), len(db), float(min_iou),
                                        1 if same_type else 0, _ptr(match)),
           "pcbtool_match_boxes")
    return match


def average_precision(confidences, correct, truth_count: int) -> float:
    """Area under the interpolated precision-recall curve, every point."""
    conf = np.ascontiguousarray(confidences, np.float32)
    ok = np.ascontiguousarray(correct, np.uint8)
    ap = ctypes.c_double(0.0)
    lib = _lib()
    _check(lib, lib.pcbtool_average_precision(_ptr(conf), _ptr(ok), len(conf), int(truth_count),
                                              ctypes.byref(ap)), "pcbtool_average_precision")
    return ap.value
