"""Finding and loading the shared library, and the C signatures of its exports."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path

#: Environment variable naming the library file (or a folder holding it).
LIBRARY_VARIABLE = "PCBINSPECT_LIBRARY"

_NAMES = {"win32": ["pcbinspect.dll"], "darwin": ["libpcbinspect.dylib"]}
_DEFAULT_NAMES = ["libpcbinspect.so", "libpcbinspect.so.0"]

_u8p = ctypes.POINTER(ctypes.c_uint8)
_i32 = ctypes.c_int32
_i32p = ctypes.POINTER(ctypes.c_int32)
_f32 = ctypes.c_float
_f32p = ctypes.POINTER(ctypes.c_float)
_vp = ctypes.c_void_p
_bool = ctypes.c_bool

#: (return type, argument types) of every export, in the public header's order.
SIGNATURES: dict[str, tuple] = {
    "getLastError": (ctypes.c_void_p, []),
    "getBuildTime": (ctypes.c_char_p, []),
    "copyGray": (None, [_vp, _i32, _i32, _i32, _vp, _i32, _i32, _i32]),
    "inspect": (_i32, [_vp, _vp, _i32, _i32, _i32, _vp, _i32, _i32, _i32, _i32, _i32, _vp, _i32,
                       _vp, _i32, _i32, ctypes.c_int64, _vp, _i32, _vp, _bool, _vp, _i32, _vp,
                       _vp, _i32, _i32, _vp]),
    "correctInvalidLines": (None, [_vp, _i32, _i32, _i32]),
    "correctCAD": (None, [_vp, _i32, _i32, _i32]),
    "PrebuildCudaEnv": (_f32, []),
    "getSubGray": (None, [_vp, _i32, _i32, _i32, _vp, _i32, _i32, _i32, _f32, _f32, _f32,
                          _bool]),
    "getSubGrayNearest": (None, [_vp, _i32, _i32, _i32, _vp, _i32, _i32, _i32, _f32, _f32,
                                 _f32]),
    "skewDIB": (None, [_vp, _i32, _i32, _i32, _i32, _bool]),
    "findSuspectedFlaws": (_i32, [_vp, _vp, _i32, _i32, _i32, _vp, _vp, _i32, _i32, _i32, _i32,
                                  _i32, _f32, _vp, _vp, _i32, _i32, _i32, _bool, _vp, _i32, _vp,
                                  _bool, _i32]),
    "getMaskGray": (None, [_vp, _vp, _vp, _vp, _i32, _vp, _vp, _i32, _vp, _i32, _i32, _i32, _f32,
                           _f32, _f32]),
    "ZeroOutboundGray": (None, [_vp, _i32, _i32, _i32, _i32, _i32, _i32, _i32, _f32, _i32, _i32,
                                _i32, _i32]),
    "findCircles": (_i32, [_vp, _i32, _i32, _i32, _i32, _i32, _i32, _vp, _i32]),
    "test": (None, [_vp, _i32, _i32, _i32]),
}


class LibraryNotFound(OSError):
    """The shared library could not be found or loaded."""


def _candidates() -> list[Path]:
    names = _NAMES.get(sys.platform, _DEFAULT_NAMES)
    found: list[Path] = []
    named = os.environ.get(LIBRARY_VARIABLE)
    if named:
        p = Path(named)
        found += [p / n for n in names] if p.is_dir() else [p]
        return found  # an explicit choice is not second-guessed
    here = Path(__file__).resolve().parent
    found += [here / n for n in names]
    system = ctypes.util.find_library("pcbinspect")
    if system:
        found.append(Path(system))
    return found


def _load() -> ctypes.CDLL:
    tried = _candidates()
    for path in tried:
        if path.exists() or (not path.is_absolute() and path.name == str(path)):
            try:
                lib = ctypes.CDLL(str(path))
            except OSError as e:
                raise LibraryNotFound(f"cannot load {path}: {e}") from e
            break
    else:
        raise LibraryNotFound(
            "libpcbinspect not found; set %s to the built library (tried: %s)"
            % (LIBRARY_VARIABLE, ", ".join(str(p) for p in tried) or "nothing"))
    for name, (restype, argtypes) in SIGNATURES.items():
        fn = getattr(lib, name)  # AttributeError names a missing export
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


_lib: ctypes.CDLL | None = None
_load_lock = threading.Lock()


def library() -> ctypes.CDLL:
    """The loaded library, loaded on first use."""
    global _lib
    if _lib is None:
        with _load_lock:
            if _lib is None:
                _lib = _load()
    return _lib
