"""Evaluation against annotated boards: inspect every pair of a list and
match the flaws found with the annotated defect boxes.

A list file holds one pair a line, "REFERENCE CAMERA TRUTH", paths relative
to the list's folder. A truth file holds one defect a line, "x1 y1 x2 y2
type" (spaces and/or commas), a box in camera pixels and a type of the
preset's evaluation types. In both, blank lines and lines starting with #
are skipped. Every file is checked before the first inspection runs."""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .flaw_codes import describe_flaw
from .image_files import image_size, read_image
from .pipeline import run_inspection
from .presets import Preset, load_preset


@dataclass(frozen=True)
class Box:
    x1: int
    y1: int
    x2: int
    y2: int
    type: int


@dataclass(frozen=True)
class Pair:
    reference: Path
    camera: Path
    truth: Path
    boxes: tuple[Box, ...]


def _lines(path: Path):
    """(line number, text) of the lines that are not blank or comments."""
    for n, line in enumerate(path.read_text().splitlines(), 1):
        line = line.strip()
        if line and not line.startswith("#"):
            yield n, line


def read_truth(path: str | os.PathLike, camera_size: tuple[int, int],
               types: set[int]) -> tuple[Box, ...]:
    """The boxes of a truth file, corners ordered; ValueError names the file
    and line of a malformed line, an unknown type or a box outside the
    camera image of camera_size (width, height)."""
    path = Path(path)
    width, height = camera_size
    boxes = []
    for n, line in _lines(path):
        fields = [f for f in re.split(r"[,\s]+", line) if f]
        try:
            if len(fields) != 5:
                raise ValueError
            x1, y1, x2, y2, kind = (int(f) for f in fields)
        except ValueError:
            raise ValueError(f'{path}:{n}: expected "x1 y1 x2 y2 type" in whole numbers, got '
                             f'"{line}"') from None
        if kind not in types:
            raise ValueError(f"{path}:{n}: type {kind} is not one of the preset's evaluation "
                             f"types {sorted(types)}")
        x1, x2 = min(x1, x2), max(x1, x2)
        y1, y2 = min(y1, y2), max(y1, y2)
        if x1 < 0 or y1 < 0 or x2 >= width or y2 >= height:
            raise ValueError(f"{path}:{n}: box ({x1}, {y1})-({x2}, {y2}) is outside the camera "
                             f"image of {width} x {height} pixels")
        boxes.append(Box(x1, y1, x2, y2, kind))
    return tuple(boxes)


def read_pair_list(list_path: str | os.PathLike, types: set[int]) -> list[Pair]:
    """Every pair of a list file with its truth boxes, all files checked."""
    list_path = Path(list_path)
    folder = list_path.parent
    pairs = []
    for n, line in _lines(list_path):
        fields = line.split()
        if len(fields) != 3:
            raise ValueError(f"{list_path}:{n}: expected REFERENCE CAMERA TRUTH, got "
                             f"{len(fields)} field(s)")
        paths = [folder / f for f in fields]  # an absolute path stays as it is
        for p in paths:
            if not p.is_file():
                raise ValueError(f"{list_path}:{n}: no file {p}")
        try:
            size = image_size(paths[1])
        except ValueError as e:
            raise ValueError(f"{list_path}:{n}: {e}") from None
        pairs.append(Pair(*paths, read_truth(paths[2], size, types)))
    if not pairs:
        raise ValueError(f"{list_path}: no pairs listed")
    return pairs


def _share(part: int, whole: int) -> float:
    return part / whole if whole else 0.0


def evaluate(list_path: str | os.PathLike, *, golden: bool = False, copper: str = "bright",
             threshold: int | None = None, preset: Preset | str | os.PathLike | None = None,
             margin: int = 4) -> dict:
    """Inspects every pair of the list and scores the flaws against the truth.

    A flaw matches a box when its camera position lies in the box grown by
    `margin` on every side; a box is found when a flaw matches it, a flaw is
    true when it matches a box. A found box agrees when the family of its
    nearest matching flaw (camera distance to the box centre, the first on
    ties) is one of its type's families. Pairs not placed count their boxes
    as defects not found and give no records. Shares whose whole is 0 are 0,
    but precision, which is 1 without records."""
    if not isinstance(preset, Preset):
        preset = load_preset(preset or "default")
    if margin < 0:
        raise ValueError(f"margin {margin} is negative")
    by_type = {t.type: t for t in preset.evaluation_types}
    pairs = read_pair_list(list_path, set(by_type))

    per_type = {t.name: {"defects": 0, "found": 0, "agree": 0} for t in by_type.values()}
    confusion: dict[str, dict[str, int]] = {t.name: {} for t in by_type.values()}
    not_placed = records = true_records = 0
    search_ms = inspect_ms = 0.0
    for pair in pairs:
        reference, camera = read_image(pair.reference), read_image(pair.camera)
        if not golden:
            for path, image in ((pair.reference, reference), (pair.camera, camera)):
                if image.ndim != 2:
                    raise ValueError(f"{path}: a colour image; CAD labels and their camera "
                                     f"images are 8-bit gray (colour is read in golden mode)")
        run = run_inspection(reference, camera, preset, golden=golden, copper=copper,
                             threshold=threshold)
        search_ms += run.search_ms
        inspect_ms += run.inspect_ms
        flaws = run.flaws  # none when not placed
        not_placed += not run.placed
        records += len(flaws)
        cx, cy = flaws["camX"].astype(np.int64), flaws["camY"].astype(np.int64)
        matched = np.zeros(len(flaws), bool)
        for box in pair.boxes:
            kind = by_type[box.type]
            counts = per_type[kind.name]
            counts["defects"] += 1
            inside = ((cx >= box.x1 - margin) & (cx <= box.x2 + margin)
                      & (cy >= box.y1 - margin) & (cy <= box.y2 + margin))
            matched |= inside
            if not inside.any():
                continue
            counts["found"] += 1
            centre_x, centre_y = (box.x1 + box.x2) / 2, (box.y1 + box.y2) / 2
            distance = np.where(inside, np.hypot(cx - centre_x, cy - centre_y), np.inf)
            nearest = int(np.argmin(distance))  # the first of equals
            family = describe_flaw(int(flaws["code"][nearest])).family
            counts["agree"] += family in kind.families
            confusion[kind.name][family] = confusion[kind.name].get(family, 0) + 1
        true_records += int(matched.sum())

    defects = sum(c["defects"] for c in per_type.values())
    found = sum(c["found"] for c in per_type.values())
    recall = _share(found, defects)
    precision = true_records / records if records else 1.0
    return {
        "pairs": len(pairs), "not_placed": not_placed,
        "defects": defects, "found": found, "recall": recall,
        "records": records, "true_records": true_records, "precision": precision,
        "f": 2 * precision * recall / (precision + recall) if precision + recall else 0.0,
        "agreement": _share(sum(c["agree"] for c in per_type.values()), found),
        "types": {name: {"defects": c["defects"], "found": c["found"],
                         "recall": _share(c["found"], c["defects"]),
                         "agreement": _share(c["agree"], c["found"])}
                  for name, c in per_type.items()},
        "confusion": confusion,
        "search_ms": search_ms / len(pairs), "inspect_ms": inspect_ms / len(pairs),
    }
