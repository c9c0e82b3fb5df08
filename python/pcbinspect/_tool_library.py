"""Finding and loading libpcbinspect_tool, the command-line tool's C
interface (tools/pcbinspect/tool_api.h), for what Python shares with the tool.

Looked for, in order: the file (or folder) named by PCBINSPECT_TOOL_LIBRARY;
beside the file named by PCBINSPECT_LIBRARY (the tool's build puts both
libraries side by side once installed, and a build tree keeps the inspection
library in src/ and the tool's in tools/, which is tried too); beside this
package. Each function's argument types are set by the module that uses it."""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from pathlib import Path

#: Environment variable naming libpcbinspect_tool (the file or its folder).
TOOL_LIBRARY_VARIABLE = "PCBINSPECT_TOOL_LIBRARY"

_NAMES = {"win32": ["pcbinspect_tool.dll"], "darwin": ["libpcbinspect_tool.dylib"]}
_DEFAULT_NAMES = ["libpcbinspect_tool.so", "libpcbinspect_tool.so.0"]


class ToolLibraryNotFound(OSError):
    """libpcbinspect_tool could not be found or loaded."""


def _candidates() -> list[Path]:
    names = _NAMES.get(sys.platform, _DEFAULT_NAMES)
    named = os.environ.get(TOOL_LIBRARY_VARIABLE)
    if named:
        p = Path(named)
        return [p / n for n in names] if p.is_dir() else [p]
    found: list[Path] = []
    core = os.environ.get("PCBINSPECT_LIBRARY")
    if core:
        p = Path(core)
        folder = p if p.is_dir() else p.parent
        found += [folder / n for n in names]
        found += [folder.parent / "tools" / n for n in names]  # a build tree
    here = Path(__file__).resolve().parent
    found += [here / n for n in names]
    return found


_lock = threading.Lock()
_tool: ctypes.CDLL | None = None


def tool_library() -> ctypes.CDLL:
    """The loaded libpcbinspect_tool; raises ToolLibraryNotFound naming where
    it looked."""
    global _tool
    with _lock:
        if _tool is None:
            from ._library import library
            library()  # the inspection library first: the tool's links to it
            tried = _candidates()
            for path in tried:
                if path.exists():
                    try:
                        _tool = ctypes.CDLL(str(path))
                        break
                    except OSError as e:
                        raise ToolLibraryNotFound(f"{path}: {e}") from e
            if _tool is None:
                raise ToolLibraryNotFound(
                    "libpcbinspect_tool not found (set " + TOOL_LIBRARY_VARIABLE +
                    "; looked at " + ", ".join(str(p) for p in tried) + ")")
            _tool.pcbtool_last_error.restype = ctypes.c_char_p
            _tool.pcbtool_last_error.argtypes = []
        return _tool


def tool_error(lib: ctypes.CDLL) -> str:
    """The calling thread's last message of the tool's C interface."""
    return (lib.pcbtool_last_error() or b"").decode("utf-8", "replace")
