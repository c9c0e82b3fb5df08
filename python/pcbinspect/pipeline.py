"""One inspection end to end, as the command-line tool runs it: place the
camera image in the reference with find_suspected_flaws, turn the suspects
into candidates and classify them with inspect.

The reference is CAD labels, or in golden-board mode an image of a good
board: binarised by the camera's rule, labelled as plain copper and padded
with background so that a camera image of its own size can be placed."""

from __future__ import annotations

import time
from dataclasses import dataclass

import numpy as np

from . import records as rec
from .api import find_suspected_flaws, inspect
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
    defects: np.ndarray | None = None  # DEFECT records (pcbinspect.defects); None: not made


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


def _two_levels(a: np.ndarray) -> bool:
    return len(np.unique(a)) <= 2


def _photo_pair(reference, camera, copper: str, preset: Preset):
    """The golden and camera images in gray, and the copper the photo front
    end finds in each that is a photograph (None for an image of two gray
    levels, which keeps the threshold rule). The golden photo decides the
    polarity and channel of both."""
    from .photo import CHANNELS, binarise
    grays, found, channel = [], [], None
    for image, what in ((reference, "golden"), (camera, "camera")):
        gray = gray_of(image, what)
        grays.append(gray)
        if _two_levels(gray):
            found.append(None)
            continue
        a = np.asarray(image)
        r = binarise(a, copper, preset.photo["min_defect_px"],
                     channel if a.ndim == 3 else None)
        copper, channel = ("dark" if r.copper_dark else "bright"), r.channel
        found.append(r.copper)
    return grays[0], grays[1], (found[0], found[1])


def run_inspection(reference: np.ndarray, camera: np.ndarray, preset: Preset | None = None, *,
                   golden: bool = False, copper: str = "bright", threshold: int | None = None,
                   ignore: np.ndarray | None = None, camera_mask: np.ndarray | None = None,
                   holes=None) -> InspectionRun:
    """Searches and inspects; the inputs are not changed (the calls work on copies).

    golden=False: reference is CAD labels, the camera image 2-D gray.
    golden=True: reference is an image of a good board, gray or RGB (so may
    the camera image be), binarised like the camera image; ignore and holes
    are in its coordinates, and so is every reference position of the
    result. copper="bright": copper at or above threshold, "dark": at or
    below it. threshold defaults to 128 in golden mode or with dark copper,
    else to 0 (any non-zero pixel is copper). In golden mode without a
    threshold, photographs (more than two gray levels) are binarised by the
    photo front end (pcbinspect.photo.binarise), which with copper="auto"
    finds the polarity on the golden photo; images of two gray levels keep the
    threshold rule (auto: bright copper).

    A placement whose alignment score is below preset.min_alignment_score
    gives placed=False and no flaws, with its score and position kept."""
    preset = preset or load_preset("default")
    photo_copper = None
    if golden and threshold is None:
        # Photographs go through the photo front end, as the tool's do.
        reference, camera, photo_copper = _photo_pair(reference, camera, copper, preset)
    if copper == "auto":
        copper = "bright"  # images of two gray levels keep bright copper
    if threshold is None:
        threshold = GOLDEN_THRESHOLD if golden or copper == "dark" else 0
    if not 0 <= threshold <= 255:
        raise ValueError(f"threshold {threshold} is outside 0 to 255")
    if golden:
        reference = gray_of(reference, "golden")
        camera = gray_of(camera, "camera")
    if reference.shape[0] < camera.shape[0] or reference.shape[1] < camera.shape[1]:
        raise ValueError(f"reference {reference.shape} is smaller than the camera image "
                         f"{camera.shape}")
    pad = GOLDEN_MARGIN if golden else 0
    cam = binary_image(camera, threshold, copper, "camera")
    labels = golden_reference(reference, threshold, copper) if golden else reference
    if photo_copper is not None:
        if photo_copper[0] is not None:
            labels = golden_reference(photo_copper[0], 1, "bright")
        if photo_copper[1] is not None:
            cam = photo_copper[1]
    window = cam.copy()
    mask = np.zeros_like(cam) if camera_mask is None else np.array(camera_mask, np.uint8)
    if ignore is None:
        ignore_map = np.zeros_like(labels)
    else:
        ignore_map = _padded(ignore) if golden else np.array(ignore, np.uint8)
    start = time.perf_counter()
    # The search reads drill-hole interiors (154) as bare board, as the camera
    # sees them; the inspection keeps them.
    for_search = labels if golden else np.where(labels == 154, np.uint8(0), labels)
    found = find_suspected_flaws(for_search, ignore_map, window, mask,
                                 **preset.search_arguments())
    search_ms = (time.perf_counter() - start) * 1000.0
    suspects = found.suspects.copy()
    suspects["refX"] -= pad
    suspects["refY"] -= pad
    empty = np.zeros(0, rec.FLAW_RECORD)
    if not found.placed:
        return InspectionRun(False, found.position, found.score, suspects, empty, found.offsets,
                             search_ms=search_ms)
    position = (found.position[0] - pad, found.position[1] - pad)
    # Compared in single precision, as the tool compares them.
    if np.float32(found.score) < np.float32(preset.min_alignment_score):
        return InspectionRun(False, position, found.score, suspects, empty, found.offsets,
                             below_minimum=True, search_ms=search_ms)
    s = found.suspects
    candidates = np.zeros(len(s), rec.FLAW_CANDIDATE)
    candidates["refX"], candidates["refY"] = s["refX"], s["refY"]
    candidates["camX"], candidates["camY"] = s["windowX"], s["windowY"]
    candidates["carried"] = s["agreement"].astype(np.float32) / np.float32(100)
    if holes is not None and golden:
        holes = rec.as_records(holes, rec.HOLE_RECORD, "holes").copy()
        holes["x"] += pad
        holes["y"] += pad
    if holes is not None:
        # As the tool does: every measured hole (kind 12) in the camera's view
        # is examined as a candidate too, since the search reads hole
        # interiors as bare board and does not point at a hole by itself.
        h = rec.as_records(holes, rec.HOLE_RECORD, "holes")
        h = h[h["kind"] == 12]
        cx, cy = h["x"] - found.position[0], h["y"] - found.position[1]
        h = h[(cx >= 0) & (cy >= 0) & (cx < cam.shape[1]) & (cy < cam.shape[0])]
        extra = np.zeros(len(h), rec.FLAW_CANDIDATE)
        extra["refX"], extra["refY"] = h["x"], h["y"]
        extra["camX"] = h["x"] - found.position[0]
        extra["camY"] = h["y"] - found.position[1]
        candidates = np.concatenate([candidates, extra])
    start = time.perf_counter()
    result = inspect(np.array(labels, np.uint8), cam, found.position,
                     candidates=candidates, offset_grid=found.offsets, hole_origin=(0, 0),
                     holes=holes, **preset.inspect_arguments())
    inspect_ms = (time.perf_counter() - start) * 1000.0
    flaws = result.flaws
    flaws["refX"] -= pad
    flaws["refY"] -= pad
    run = InspectionRun(True, position, found.score, suspects, flaws, found.offsets,
                        search_ms=search_ms, inspect_ms=inspect_ms)
    run.defects = _defects_of(labels[pad:labels.shape[0] - pad, pad:labels.shape[1] - pad]
                              if golden else labels, cam, run, preset, golden)
    return run


def _defects_of(labels, cam, run: InspectionRun, preset: Preset, golden: bool):
    """The run's defects through the tool's compiled code, or None where
    libpcbinspect_tool cannot be found."""
    from ._tool_library import ToolLibraryNotFound
    from .defects import find_defects, reference_window
    try:
        window = reference_window(labels, cam, run.position, run.offsets)
    except ToolLibraryNotFound:
        return None
    return find_defects(cam, window, run.flaws, box_margin=preset.defects["box_margin"],
                        cad=not golden)
