"""Exceptions carrying the library's last-error text."""

from __future__ import annotations

import ctypes
import threading

from ._library import library


class PcbInspectError(ValueError):
    """An export rejected its input; the message is the library's own line,
    e.g. "copyGray: destination stride 3 is below its width 4"."""

    def __init__(self, message: str, function: str):
        super().__init__(message)
        self.function = function


# The last-error text is one process-wide buffer that successful calls leave
# as it was. To tell a rejection from a result that merely looks like
# "nothing done" (no records found), each call made through this package
# clears the text first and reads it afterwards, under one lock so that calls
# from other Python threads cannot mix their texts in.
_call_lock = threading.Lock()


def last_error() -> str:
    """The library's last-error text ("" until a call rejects its input)."""
    ptr = library().getLastError()
    return ctypes.string_at(ptr).decode("utf-8", "replace") if ptr else ""


def checked_call(name: str, *args):
    """Calls export `name`; raises PcbInspectError when it rejects its input."""
    lib = library()
    fn = getattr(lib, name)
    with _call_lock:
        text = lib.getLastError()
        ctypes.memset(text, 0, 1)
        result = fn(*args)
        message = ctypes.string_at(text).decode("utf-8", "replace")
    if message:
        raise PcbInspectError(message, name)
    return result
