"""The photo front end: a photograph of a bare board (gray or RGB, 8 or 16
bits a sample, any light) binarised as the command-line tool binarises it,
by the tool's compiled code (libpcbinspect_tool, tools/pcbinspect/photo.cpp).

The light is flattened, every pixel is compared with the midpoint of the
copper and substrate levels around it (so that a line keeps its width
whatever the light), the image is smoothed for the noise it shows, and copper
islands and holes smaller than min_defect_px are removed."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass

import numpy as np

from ._tool_library import tool_error, tool_library
from .errors import PcbInspectError

#: The preset's photo.min_defect_px when none is given.
MIN_DEFECT_PX = 6
#: Names of the channels, by the number the compiled code uses.
CHANNELS = ("luma", "red", "green", "blue")
_COPPER = {"auto": 0, "bright": 1, "dark": 2}


@dataclass
class Binarised:
    copper: np.ndarray       # 2-D uint8, 255 copper, 0 elsewhere
    copper_dark: bool        # the polarity in force
    channel: str             # "luma", "red", "green" or "blue"
    specks_removed: int      # copper islands below min_defect_px removed
    holes_filled: int        # holes in copper below min_defect_px filled
    copper_level: float      # median local levels, 0..255
    substrate_level: float
    noise: float
    smoothing: float         # sigma of the Gaussian before the comparison


def _lib():
    lib = tool_library()
    if not getattr(lib, "_photo_typed", False):
        i32 = ctypes.c_int32
        lib.pcbtool_binarise_photo.argtypes = [ctypes.c_void_p, i32, i32, i32, i32, i32, i32,
                                               i32, i32, ctypes.c_void_p, ctypes.c_void_p,
                                               ctypes.c_void_p]
        lib.pcbtool_binarise_photo.restype = ctypes.c_int
        lib._photo_typed = True
    return lib


def binarise(photo, copper: str = "auto", min_defect_px: int = MIN_DEFECT_PX,
             channel: str | None = None) -> Binarised:
    """Binarises a photograph: a 2-D array (gray) or (height, width, 3) RGB,
    uint8 or uint16. copper: "auto" (the class covering less of the image),
    "bright" or "dark"; channel: None to choose the one with the best copper
    contrast, or one of CHANNELS."""
    a = np.asarray(photo)
    if a.dtype not in (np.uint8, np.uint16):
        raise ValueError(f"photo must be uint8 or uint16, not {a.dtype}")
    if not (a.ndim == 2 or (a.ndim == 3 and a.shape[2] == 3)):
        raise ValueError(f"photo must be 2-D or (height, width, 3), not of shape {a.shape}")
    if copper not in _COPPER:
        raise ValueError(f'copper must be "auto", "bright" or "dark", not {copper!r}')
    if channel is not None and channel not in CHANNELS:
        raise ValueError(f"channel must be None or one of {CHANNELS}, not {channel!r}")
    a = np.ascontiguousarray(a)
    height, width = a.shape[:2]
    channels = 1 if a.ndim == 2 else 3
    out = np.zeros((height, width), np.uint8)
    decision = np.zeros(4, np.int32)
    levels = np.zeros(4, np.float64)
    lib = _lib()
    status = lib.pcbtool_binarise_photo(
        a.ctypes.data, width, height, width * channels, channels, 8 * a.itemsize,
        _COPPER[copper], -1 if channel is None else CHANNELS.index(channel), int(min_defect_px),
        out.ctypes.data, decision.ctypes.data, levels.ctypes.data)
    if status != 0:
        raise PcbInspectError(tool_error(lib), "pcbtool_binarise_photo")
    return Binarised(out, bool(decision[0]), CHANNELS[int(decision[1])], int(decision[2]),
                     int(decision[3]), float(levels[0]), float(levels[1]), float(levels[2]),
                     float(levels[3]))
