"""One inspection end to end, as the command-line tool runs it: place the
camera image in the reference with find_suspected_flaws, turn the suspects
into candidates and classify them with inspect."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import records as rec
from .api import find_suspected_flaws, inspect
from .images import gray_in
from .presets import Preset, load_preset


@dataclass
class InspectionRun:
    placed: bool
    position: tuple[int, int]
    score: float
    suspects: np.ndarray         # SUSPECT_RECORD records the search handed on
    flaws: np.ndarray            # FLAW_RECORD records
    offsets: np.ndarray          # (25, 2) local corrections


def binary_camera(camera: np.ndarray, threshold: int = 0) -> np.ndarray:
    """255 where the camera shows copper (at or above threshold; any non-zero
    pixel when threshold is 0), else 0."""
    cut = threshold if threshold > 0 else 1
    return np.where(gray_in(camera, "camera").array >= cut, 255, 0).astype(np.uint8)


def run_inspection(reference: np.ndarray, camera: np.ndarray, preset: Preset | None = None, *,
                   ignore: np.ndarray | None = None, camera_mask: np.ndarray | None = None,
                   holes=None, threshold: int = 0) -> InspectionRun:
    """Searches and inspects; the inputs are not changed (the calls work on copies)."""
    preset = preset or load_preset("default")
    if not 0 <= threshold <= 255:
        raise ValueError(f"threshold {threshold} is outside 0 to 255")
    if reference.shape[0] < camera.shape[0] or reference.shape[1] < camera.shape[1]:
        raise ValueError(f"reference {reference.shape} is smaller than the camera image "
                         f"{camera.shape}")
    cam = binary_camera(camera, threshold)
    window = cam.copy()
    mask = np.zeros_like(cam) if camera_mask is None else np.array(camera_mask, np.uint8)
    ignore_map = np.zeros_like(reference) if ignore is None else np.array(ignore, np.uint8)
    found = find_suspected_flaws(reference, ignore_map, window, mask,
                                 **preset.search_arguments())
    empty = np.zeros(0, rec.FLAW_RECORD)
    if not found.placed:
        return InspectionRun(False, found.position, found.score, found.suspects, empty,
                             found.offsets)
    s = found.suspects
    candidates = np.zeros(len(s), rec.FLAW_CANDIDATE)
    candidates["refX"], candidates["refY"] = s["refX"], s["refY"]
    candidates["camX"], candidates["camY"] = s["windowX"], s["windowY"]
    candidates["carried"] = s["agreement"].astype(np.float32) / np.float32(100)
    result = inspect(np.array(reference, np.uint8), cam, found.position,
                     candidates=candidates, offset_grid=found.offsets, hole_origin=(0, 0),
                     holes=holes, **preset.inspect_arguments())
    return InspectionRun(True, found.position, found.score, s, result.flaws, found.offsets)
