"""Defects and box matching through the tool's compiled code
(libpcbinspect_tool), as pcbinspect.defects wraps it."""

import numpy as np
import pytest

from pcbinspect._tool_library import ToolLibraryNotFound, tool_library

try:
    tool_library()
except ToolLibraryNotFound as missing:  # an installed wheel carries the core library only
    pytest.skip(f"libpcbinspect_tool not found ({missing})", allow_module_level=True)

from pcbinspect import records as rec
from pcbinspect.defects import average_precision, find_defects, match_boxes, reference_window


def _record(code, x, y):
    r = np.zeros(1, rec.FLAW_RECORD)
    r["code"], r["camX"], r["camY"], r["refX"], r["refY"] = code, x, y, x, y
    return r


def test_find_defects_and_matching_through_the_tool_library():
    # Two lines (rows 10..14 and 25..29) of CAD labels 170, the camera bridging
    # them at columns 28..31 and cutting the upper one at columns 40..43.
    labels = np.zeros((40, 100), np.uint8)
    labels[10:15, :] = 170
    labels[25:30, :] = 170
    camera = np.where(labels > 0, 255, 0).astype(np.uint8)
    camera[15:25, 28:32] = 255
    camera[10:15, 40:44] = 0
    window = reference_window(labels, camera, (0, 0))
    assert np.array_equal(window, np.where(labels > 0, 255, 0))
    flaws = np.concatenate([_record(2, 30, 20), _record(1, 41, 12), _record(19, 95, 35)])
    d = find_defects(camera, window, flaws, box_margin=4)
    # Sorted by their boxes' top rows: the open, the short, then the record on
    # no difference (its own box, 4 + 7 around it, clipped at the bottom).
    assert list(d["type"]) == ["open", "short", "spur"]
    assert [tuple(b) for b in d[["x1", "y1", "x2", "y2"]].tolist()] == [
        (36, 6, 47, 18), (24, 11, 35, 28), (84, 24, 99, 39)]
    assert [list(r) for r in d["records"]] == [[1], [0], [2]]
    assert d["confidence"][2] < d["confidence"][0] <= 1
    # Matched against truth boxes: the wrong type and the stray record miss.
    truth = [[36, 6, 47, 18], [24, 11, 35, 28]]
    m = match_boxes(truth, ["open", "spur"], d[["x1", "y1", "x2", "y2"]].tolist(), d["type"],
                    d["confidence"])
    assert list(m) == [0, -1, -1]
    # The short (40 pixels changed) ranks above the open (20): the one right
    # detection comes second, precision 1/2 at recall 1/2.
    assert d["confidence"][1] > d["confidence"][0]
    assert average_precision(d["confidence"], m >= 0, 2) == pytest.approx(0.25)
    with pytest.raises(ValueError):
        find_defects(camera, window[:, :-1], flaws)
