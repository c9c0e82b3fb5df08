"""Every export of the library, with numpy arrays in and out."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Iterable, Sequence

import numpy as np

from . import records as rec
from ._library import library
from .errors import checked_call
from .images import colour_inout, gray_in, gray_inout, with_stride

_INT32_MAX = 2**31 - 1


def _ptr(a: np.ndarray | None) -> int | None:
    return None if a is None else a.ctypes.data


def _int32s(values, what: str, count: int | None = None) -> np.ndarray:
    a = np.ascontiguousarray(np.asarray(values, dtype=np.int32).reshape(-1))
    if count is not None and a.size != count:
        raise ValueError(f"{what}: expected {count} values, got {a.size}")
    return a


# ---------------------------------------------------------------------------
# Process-wide texts and copies
# ---------------------------------------------------------------------------

def build_time() -> str:
    """The library's build date and time, "Mmm dd yyyy hh:mm:ss"."""
    return library().getBuildTime().decode("ascii")


def copy_gray(dst: np.ndarray, src: np.ndarray) -> np.ndarray:
    """Copies src into dst, top-left corners aligned, clipped to both; returns dst."""
    d = gray_inout(dst, "copy_gray dst")
    s = gray_in(src, "copy_gray src")
    checked_call("copyGray", d.ptr, d.width, d.stride, d.height, s.ptr, s.width, s.stride,
                 s.height)
    return dst


# ---------------------------------------------------------------------------
# Inspection
# ---------------------------------------------------------------------------

@dataclass
class InspectResult:
    """What inspect wrote: the flaw records, and the candidate list as the
    suppression left it (reordered)."""

    flaws: np.ndarray        # FLAW_RECORD records
    candidates: np.ndarray   # FLAW_CANDIDATE records


def inspect(reference: np.ndarray, camera: np.ndarray, cam_shift: Sequence[int],
            params: Sequence[float], candidates, tolerances, control, *,
            suppress_radius: int = 0, max_flaws: int = 1000, offset_grid=None,
            check_lines: bool = False, hole_origin: Sequence[int] = (0, 0), holes=None,
            check_holes: bool = False) -> InspectResult:
    """Inspects the camera image against the CAD reference at each candidate.

    reference is corrected in place first. params holds up to 35 limits;
    candidates are FLAW_CANDIDATE records (an array of that dtype is reordered
    in place as the C call does), tolerances WIDTH_TOLERANCE records, control
    an INSPECT_CONTROL record or 5 ints, holes HOLE_RECORD records, offset_grid
    25 (dx, dy) pairs or None."""
    r = gray_inout(reference, "inspect reference")
    c = gray_in(camera, "inspect camera")
    p = np.ascontiguousarray(np.asarray(params, dtype=np.float32).reshape(-1))
    cand = rec.as_records(candidates, rec.FLAW_CANDIDATE, "inspect candidates")
    tol = rec.as_records(tolerances, rec.WIDTH_TOLERANCE, "inspect tolerances")
    ctl = np.asarray(control)
    ctl = (np.ascontiguousarray(ctl).reshape(-1).view(np.int32)
           if ctl.dtype == rec.INSPECT_CONTROL else _int32s(ctl, "inspect control", 5))
    if ctl.size != 5:
        raise ValueError("inspect control: expected one record of 5 ints")
    hole_list = rec.as_records(holes if holes is not None else np.zeros(0, rec.HOLE_RECORD),
                               rec.HOLE_RECORD, "inspect holes")
    origin = _int32s(hole_origin, "inspect hole_origin", 2)
    grid = None if offset_grid is None else _int32s(offset_grid, "inspect offset_grid", 50)
    shift = _int32s(cam_shift, "inspect cam_shift", 2)
    if max_flaws < 0 or max_flaws * 7 > _INT32_MAX:
        raise ValueError(f"inspect: max_flaws {max_flaws} out of range")
    flaws = np.zeros(max_flaws, rec.FLAW_RECORD)
    n = checked_call(
        "inspect", r.ptr, None, r.width, r.stride, r.height, c.ptr, c.width, c.stride, c.height,
        int(shift[0]), int(shift[1]), _ptr(p), p.size, _ptr(cand), cand.size,
        suppress_radius, 0, _ptr(flaws), max_flaws * 7, _ptr(grid), bool(check_lines),
        _ptr(tol), tol.size, _ptr(origin), _ptr(hole_list), hole_list.size, int(bool(check_holes)),
        _ptr(ctl))
    return InspectResult(flaws[:n].copy(), cand)


# ---------------------------------------------------------------------------
# CAD preparation
# ---------------------------------------------------------------------------

def correct_invalid_lines(image: np.ndarray) -> np.ndarray:
    """Repaints wide networks of label 170 with 255, in place; returns image."""
    g = gray_inout(image, "correct_invalid_lines image")
    checked_call("correctInvalidLines", g.ptr, g.width, g.stride, g.height)
    return image


def correct_cad(image: np.ndarray) -> np.ndarray:
    """Absorbs label 170 into the pads of labels 160 and 180, in place; returns image."""
    g = gray_inout(image, "correct_cad image")
    checked_call("correctCAD", g.ptr, g.width, g.stride, g.height)
    return image


# ---------------------------------------------------------------------------
# GPU environment and resampling
# ---------------------------------------------------------------------------

def prebuild_cuda_env() -> float:
    """Sets up the graphics processor once: the warm-up figure, 0.0 after the first call."""
    return float(checked_call("PrebuildCudaEnv"))


def _destination(shape, out, what: str):
    if out is None:
        if shape is None:
            raise ValueError(f"{what}: give the window's shape (height, width) or an out array")
        out = np.zeros(tuple(int(v) for v in shape), np.uint8)
    return out, gray_inout(out, what)


def get_sub_gray(src: np.ndarray, center: Sequence[float], angle: float = 0.0, *,
                 shape: Sequence[int] | None = None, out: np.ndarray | None = None,
                 use_gpu: bool = False) -> np.ndarray:
    """A window of `shape` (height, width), or the size of `out`, centred at
    center = (x, y) of src and rotated by angle degrees, sampled bilinearly."""
    s = gray_in(src, "get_sub_gray src")
    out, d = _destination(shape, out, "get_sub_gray out")
    checked_call("getSubGray", s.ptr, s.width, s.stride, s.height, d.ptr, d.width, d.stride,
                 d.height, float(center[0]), float(center[1]), float(angle), bool(use_gpu))
    return out


def get_sub_gray_nearest(src: np.ndarray, center: Sequence[float], angle: float = 0.0, *,
                         shape: Sequence[int] | None = None,
                         out: np.ndarray | None = None) -> np.ndarray:
    """As get_sub_gray with nearest-pixel sampling; the window is cleared first."""
    s = gray_in(src, "get_sub_gray_nearest src")
    out, d = _destination(shape, out, "get_sub_gray_nearest out")
    checked_call("getSubGrayNearest", s.ptr, s.width, s.stride, s.height, d.ptr, d.width,
                 d.stride, d.height, float(center[0]), float(center[1]), float(angle))
    return out


def skew_dib(pixels: np.ndarray, skew: int, use_gpu: bool = False) -> np.ndarray:
    """Removes a vertical skew from a 24-bit colour image in place; returns it.
    pixels is (height, width, 3) or (height, 3 * width), blue-green-red."""
    a, w, stride, h = colour_inout(pixels, "skew_dib pixels")
    checked_call("skewDIB", a.ctypes.data, w, stride, h, int(skew), bool(use_gpu))
    return pixels


# ---------------------------------------------------------------------------
# Suspected-flaw search
# ---------------------------------------------------------------------------

@dataclass
class SearchResult:
    """What findSuspectedFlaws wrote."""

    placed: bool               # False when the search found too little to place the window
    position: tuple[int, int]  # the window's top-left corner in the reference
    score: float               # alignment score
    suspects: np.ndarray       # SUSPECT_RECORD records
    offsets: np.ndarray | None  # (25, 2) local (dx, dy) corrections, or None


def find_suspected_flaws(reference: np.ndarray, ignore_map: np.ndarray, window: np.ndarray,
                         window_mask: np.ndarray, *, grow: int = 3, border: int = 50,
                         threshold: float = 0.85, spacing: int = 10, empty_spacing: int = 50,
                         exclusion_radius: int = 0, code151_excludes: bool = False,
                         max_suspects: int = 4000, want_offsets: bool = True,
                         exhaustive: bool = False, mode: int = 2) -> SearchResult:
    """Locates the camera window in the reference and lists suspected flaws.

    ignore_map (same shape as reference) grows in place around label 152;
    window and window_mask (same shape) are normalised in place. reference is
    copied when its row stride differs from ignore_map's, since the call takes
    one stride for both."""
    g = gray_inout(ignore_map, "find_suspected_flaws ignore_map")
    r = gray_in(reference, "find_suspected_flaws reference")
    if (r.height, r.width) != (g.height, g.width):
        raise ValueError(f"find_suspected_flaws: reference {reference.shape} and ignore_map "
                         f"{ignore_map.shape} differ in shape")
    if r.stride != g.stride:
        r = gray_in(with_stride(r.array, g.stride), "find_suspected_flaws reference")
    c = gray_inout(window, "find_suspected_flaws window")
    m = gray_inout(window_mask, "find_suspected_flaws window_mask")
    if (c.height, c.width) != (m.height, m.width):
        raise ValueError(f"find_suspected_flaws: window {window.shape} and window_mask "
                         f"{window_mask.shape} differ in shape")
    if c.stride != m.stride:
        raise ValueError(f"find_suspected_flaws: window and window_mask are passed with one "
                         f"stride; theirs are {c.stride} and {m.stride}")
    if max_suspects < 0 or max_suspects * 6 > _INT32_MAX:
        raise ValueError(f"find_suspected_flaws: max_suspects {max_suspects} out of range")
    # The search writes the position only once it has placed the window.
    position = np.full(2, np.iinfo(np.int32).min, np.int32)
    score = ctypes.c_float(0.0)
    suspects = np.zeros(max_suspects, rec.SUSPECT_RECORD)
    offsets = np.zeros((25, 2), np.int32) if want_offsets else None
    n = checked_call(
        "findSuspectedFlaws", r.ptr, g.ptr, r.width, r.stride, r.height, c.ptr, m.ptr, c.width,
        c.stride, c.height, grow, border, float(threshold), _ptr(position), ctypes.byref(score),
        spacing, empty_spacing, exclusion_radius, bool(code151_excludes), _ptr(suspects),
        max_suspects * 6, _ptr(offsets), bool(exhaustive), mode)
    placed = bool(position[0] != np.iinfo(np.int32).min)
    return SearchResult(placed, (int(position[0]), int(position[1])), score.value,
                        suspects[:n].copy(), offsets)


# ---------------------------------------------------------------------------
# Masks
# ---------------------------------------------------------------------------

def _polygons(polygons: Iterable | None, what: str) -> tuple[np.ndarray, np.ndarray]:
    points, counts = [], []
    for i, poly in enumerate(polygons or ()):
        p = np.asarray(poly, dtype=np.int32)
        if p.ndim != 2 or p.shape[1] != 2:
            raise ValueError(f"{what}: polygon {i} is not a list of (x, y) points")
        points.append(p.reshape(-1))
        counts.append(p.shape[0])
    flat = np.concatenate(points) if points else np.zeros(0, np.int32)
    return np.ascontiguousarray(flat, np.int32), np.asarray(counts, np.int32)


def get_mask_gray(image: np.ndarray, erase=(), paint=(), offset: Sequence[float] = (0.0, 0.0),
                  angle: float = 0.0) -> np.ndarray:
    """Turns image into a 0/255 mask in place; erase and paint are lists of
    polygons, each a sequence of (x, y) board points. Returns image."""
    g = gray_inout(image, "get_mask_gray image")
    ep, ec = _polygons(erase, "get_mask_gray erase")
    pp, pc = _polygons(paint, "get_mask_gray paint")
    checked_call("getMaskGray", None, None, _ptr(ep) if ep.size else None,
                 _ptr(ec) if ec.size else None, ec.size, _ptr(pp) if pp.size else None,
                 _ptr(pc) if pc.size else None, pc.size, g.ptr, g.width, g.stride, g.height,
                 float(offset[0]), float(offset[1]), float(angle))
    return image


def zero_outbound_gray(image: np.ndarray, center: Sequence[int], size: Sequence[int],
                       angle: float, window: Sequence[int]) -> np.ndarray:
    """Clears the pixels of window (x, y, width, height) of image that lie
    outside the rectangle of centre (x, y) and size (width, height) rotated by
    angle degrees. In place; returns image."""
    g = gray_inout(image, "zero_outbound_gray image")
    cx, cy = (int(v) for v in center)
    rw, rh = (int(v) for v in size)
    wx, wy, ww, wh = (int(v) for v in window)
    checked_call("ZeroOutboundGray", g.ptr, g.width, g.stride, g.height, cx, cy, rw, rh,
                 float(angle), wx, wy, ww, wh)
    return image


# ---------------------------------------------------------------------------
# Circle finding
# ---------------------------------------------------------------------------

def find_circles(image: np.ndarray, max_radius: int, min_radius: int, vote_threshold: int,
                 max_count: int = 100) -> np.ndarray:
    """Circles of radii min_radius..max_radius as CIRCLE_RECORD records."""
    g = gray_in(image, "find_circles image")
    if max_count < 0:
        raise ValueError(f"find_circles: max_count {max_count} is negative")
    out = np.zeros(max_count + 1, rec.CIRCLE_RECORD)
    n = checked_call("findCircles", g.ptr, g.width, g.stride, g.height, max_radius, min_radius,
                     vote_threshold, _ptr(out), max_count)
    return out[:n].copy()


def test(image: np.ndarray) -> None:
    """Runs the circle detector with fixed settings and discards the result."""
    g = gray_in(image, "test image")
    checked_call("test", g.ptr, g.width, g.stride, g.height)


# pytest must not collect the export named "test" as a test function.
test.__test__ = False
