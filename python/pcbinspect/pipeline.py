"""One inspection end to end, by the command-line tool's own compiled
pipeline: the photo front end, the frame placed in the reference with
find_suspected_flaws, the suspects classified by inspect, and the defects.

The reference is CAD labels, or in golden-board mode an image of a good
board: binarised by the camera's rule, labelled as plain copper and padded
with background so that a camera image of its own size can be placed."""

from __future__ import annotations

import ctypes
import json
from dataclasses import dataclass

import numpy as np

from . import records as rec
from .errors import PcbInspectError
from .images import gray_in
from .presets import Preset, load_preset

#: Background around a golden image, on every side, in pixels.
GOLDEN_MARGIN = 60
#: The label of golden copper (plain copper).
GOLDEN_COPPER_LABEL = 255
#: The threshold of golden mode when none is given.
GOLDEN_THRESHOLD = 128


@dataclass
class InspectionRun:
    placed: bool                 # False: not placed, or placed below the minimum score
    position: tuple[int, int]    # camera's top-left corner in the (unpadded) reference
    score: float
    suspects: np.ndarray         # SUSPECT_RECORD records the search handed on
    flaws: np.ndarray            # FLAW_RECORD records
    offsets: np.ndarray          # (25, 2) local corrections
    below_minimum: bool = False  # placed with a score below preset.min_alignment_score
    search_ms: float = 0.0
    inspect_ms: float = 0.0
    defects: np.ndarray | None = None  # DEFECT records (pcbinspect.defects); None: not placed
    notes: str = ""              # the photo front end's messages, one a line


def gray_of(image: np.ndarray, what: str = "image") -> np.ndarray:
    """A 2-D uint8 image as is; a (height, width, 3) RGB one turned to gray
    with the luma weights 0.299, 0.587, 0.114 in integer arithmetic."""
    a = np.asarray(image)
    if a.ndim == 3 and a.shape[2] == 3 and a.dtype == np.uint8:
        w = a.astype(np.uint32)
        return ((299 * w[..., 0] + 587 * w[..., 1] + 114 * w[..., 2] + 500) // 1000).astype(
            np.uint8)
    return gray_in(image, what).array


def binary_image(image: np.ndarray, threshold: int = 0, copper: str = "bright",
                 what: str = "image") -> np.ndarray:
    """255 where the image shows copper, else 0. Bright copper: at or above
    threshold (any non-zero pixel when threshold is 0); dark copper: at or
    below threshold."""
    if copper not in ("bright", "dark"):
        raise ValueError(f'copper must be "bright" or "dark", not {copper!r}')
    a = gray_in(image, what).array
    copper_at = a <= threshold if copper == "dark" else a >= max(threshold, 1)
    return np.where(copper_at, 255, 0).astype(np.uint8)


def binary_camera(camera: np.ndarray, threshold: int = 0) -> np.ndarray:
    """The camera image as the library reads it, bright copper."""
    return binary_image(camera, threshold, what="camera")


def golden_reference(golden: np.ndarray, threshold: int = GOLDEN_THRESHOLD,
                     copper: str = "bright") -> np.ndarray:
    """The label reference of golden mode: copper GOLDEN_COPPER_LABEL, GOLDEN_MARGIN
    pixels of background on every side."""
    copper_map = binary_image(gray_of(golden, "golden"), threshold, copper, "golden")
    return _padded(np.where(copper_map > 0, GOLDEN_COPPER_LABEL, 0).astype(np.uint8))


def _padded(a: np.ndarray) -> np.ndarray:
    return np.pad(np.asarray(a, np.uint8), GOLDEN_MARGIN, constant_values=0)


def _image_arguments(image, what: str):
    """A 2-D or (height, width, 3) uint8 or uint16 image as the tool's C
    interface takes it: the contiguous array and its width, height, stride,
    channels and bits."""
    a = np.asarray(image)
    if a.ndim == 2 and a.dtype not in (np.uint8, np.uint16):
        a = gray_in(image, what).array
    if a.dtype not in (np.uint8, np.uint16) or not (
            a.ndim == 2 or (a.ndim == 3 and a.shape[2] == 3)):
        raise ValueError(f"{what} must be a 2-D or (height, width, 3) uint8 or uint16 array, "
                         f"not {a.dtype} of shape {a.shape}")
    a = np.ascontiguousarray(a)
    channels = 1 if a.ndim == 2 else 3
    return a, (a.shape[1], a.shape[0], a.shape[1] * channels, channels, 8 * a.itemsize)


def _map_argument(image, shape, what: str):
    if image is None:
        return None
    a = np.ascontiguousarray(image, np.uint8)
    if a.shape != shape:
        raise ValueError(f"{what} {a.shape} differs from its image {shape}")
    return a


def _tool_run_library():
    from ._tool_library import tool_library
    lib = tool_library()
    if not getattr(lib, "_run_typed", False):
        vp, i32 = ctypes.c_void_p, ctypes.c_int32
        lib.pcbtool_inspect_pair.argtypes = [vp, i32, i32, i32, i32, i32, vp, i32, i32, i32, i32,
                                             i32, vp, vp, vp, i32, ctypes.c_char_p,
                                             ctypes.c_char_p, ctypes.POINTER(vp)]
        lib.pcbtool_inspect_pair.restype = ctypes.c_int
        lib.pcbtool_run_report.argtypes = [vp]
        lib.pcbtool_run_report.restype = ctypes.c_char_p
        lib.pcbtool_run_records.argtypes = [vp, i32, vp, i32, ctypes.POINTER(i32)]
        lib.pcbtool_run_records.restype = ctypes.c_int
        lib.pcbtool_run_defects.argtypes = [vp, vp, i32, vp, ctypes.POINTER(i32)]
        lib.pcbtool_run_defects.restype = ctypes.c_int
        lib.pcbtool_run_free.argtypes = [vp]
        lib.pcbtool_run_free.restype = None
        lib._run_typed = True
    return lib


def run_inspection(reference: np.ndarray, camera: np.ndarray, preset: Preset | None = None, *,
                   golden: bool = False, copper: str = "bright", threshold: int | None = None,
                   ignore: np.ndarray | None = None, camera_mask: np.ndarray | None = None,
                   holes=None, at: tuple[int, int] | None = None,
                   camera_photo: bool = False) -> InspectionRun:
    """Searches and inspects as the command-line tool does, by the tool's
    compiled pipeline (libpcbinspect_tool); the inputs are not changed.

    golden=False: reference is CAD labels (2-D uint8), the camera image 2-D
    gray (a photograph with camera_photo=True, or when it holds more than 16
    gray levels and no threshold is given). golden=True: reference is an
    image of a good board, gray or RGB, 8 or 16 bits (so may the camera image
    be); ignore and holes are in its coordinates, and so is every reference
    position of the result. copper="bright": copper at or above threshold,
    "dark": at or below it; "auto": the photo front end decides on the golden
    photo. threshold defaults to 128 in golden mode or with dark copper,
    else to 0 (any non-zero pixel is copper); without a threshold,
    photographs (more than two gray levels) are binarised by the photo front
    end (pcbinspect.photo.binarise), and a camera photo turned, scaled or
    shifted against the golden one is resampled onto it first (camera
    positions of the result are the photo's own). at: the camera frame's
    rough top-left corner in a larger reference.

    A placement whose alignment score is below preset.min_alignment_score
    gives placed=False and no flaws, with its score and position kept."""
    preset = preset or load_preset("default")
    if copper not in ("auto", "bright", "dark"):
        raise ValueError(f'copper must be "auto", "bright" or "dark", not {copper!r}')
    if threshold is not None and not 0 <= threshold <= 255:
        raise ValueError(f"threshold {threshold} is outside 0 to 255")
    if golden:
        ref, ref_args = _image_arguments(reference, "golden")
    else:
        ref = gray_in(reference, "reference").array
        ref = np.ascontiguousarray(ref)
        ref_args = (ref.shape[1], ref.shape[0], ref.shape[1], 1, 8)
    cam, cam_args = _image_arguments(camera, "camera")
    if ref.shape[0] < cam.shape[0] or ref.shape[1] < cam.shape[1]:
        raise ValueError(f"reference {ref.shape[:2]} is smaller than the camera image "
                         f"{cam.shape[:2]}")
    ignore_map = _map_argument(ignore, ref.shape[:2], "ignore map")
    mask = _map_argument(camera_mask, cam.shape[:2], "camera mask")
    hole_list = (np.zeros(0, rec.HOLE_RECORD) if holes is None
                 else np.ascontiguousarray(rec.as_records(holes, rec.HOLE_RECORD, "holes")))
    options = {"golden": bool(golden), "copper": copper, "camera_photo": bool(camera_photo)}
    if threshold is not None:
        # 0 means the default rule to the compiled code; a threshold given
        # as 0 is any non-zero pixel, which is that rule in CAD mode.
        options["threshold"] = int(threshold)
    elif not golden and copper == "dark":
        options["threshold"] = GOLDEN_THRESHOLD
    if at is not None:
        options["at"] = [int(at[0]), int(at[1])]
    lib = _tool_run_library()
    handle = ctypes.c_void_p()
    ptr = lambda a: None if a is None or a.size == 0 else a.ctypes.data_as(ctypes.c_void_p)
    status = lib.pcbtool_inspect_pair(
        ptr(ref), *ref_args, ptr(cam), *cam_args, ptr(ignore_map), ptr(mask), ptr(hole_list),
        len(hole_list), json.dumps(options).encode(), json.dumps(preset.to_dict()).encode(),
        ctypes.byref(handle))
    if status != 0:
        from ._tool_library import tool_error
        message = tool_error(lib)
        if status == 1:
            raise ValueError(message)
        raise PcbInspectError(message, "pcbtool_inspect_pair")
    try:
        report = json.loads(lib.pcbtool_run_report(handle).decode())

        def records(what: int, dtype) -> np.ndarray:
            count = ctypes.c_int32(0)
            lib.pcbtool_run_records(handle, what, None, 0, ctypes.byref(count))
            out = np.zeros(count.value, dtype)
            lib.pcbtool_run_records(handle, what, ptr(out), len(out), ctypes.byref(count))
            return out

        flaws = records(0, rec.FLAW_RECORD)
        suspects = records(1, rec.SUSPECT_RECORD)
        offsets = records(2, np.dtype((np.int32, (25, 2))))[0]
        count = ctypes.c_int32(0)
        lib.pcbtool_run_defects(handle, None, 0, None, ctypes.byref(count))
        from .defects import _PCBTOOL_DEFECT, _defects_of
        raw = np.zeros(max(count.value, 1), _PCBTOOL_DEFECT)
        indices = np.zeros(max(len(flaws), 1), np.int32)
        lib.pcbtool_run_defects(handle, ptr(raw), count.value, ptr(indices), ctypes.byref(count))
        defects = _defects_of(raw, indices, count.value)
    finally:
        lib.pcbtool_run_free(handle)
    timing = report["timing_ms"]
    position = (report["position"]["x"], report["position"]["y"])
    return InspectionRun(bool(report["placed"]), position, float(report["alignment_score"]),
                         suspects, flaws, offsets, below_minimum=bool(report["below_minimum"]),
                         search_ms=timing["search"], inspect_ms=timing["inspect"],
                         defects=defects if report["placed"] else None,
                         notes=report["notes"])
