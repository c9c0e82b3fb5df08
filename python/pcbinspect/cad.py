"""From CAD files to a reference: the command-line tool's `render` (Gerber and
Excellon files drawn into CAD labels with libgerbv) and the hole list it
writes.

The drawing itself lives in the tool, which links libgerbv; this module runs
it and reads what it writes. The tool is found through the PCBINSPECT_TOOL
environment variable, else as `pcbinspect` on the PATH."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Sequence

import numpy as np

from . import records as rec
from .image_files import read_image

#: Environment variable naming the pcbinspect program.
TOOL_VARIABLE = "PCBINSPECT_TOOL"

#: Hole kinds of holes.csv: plated (centre in copper), and in bare board.
HOLE_PLATED, HOLE_UNPLATED = 0, 1
#: The kind whose size inspect measures at candidates.
HOLE_MEASURED = 12


def read_holes_csv(path: str | os.PathLike) -> np.ndarray:
    """HOLE_RECORD records of a holes.csv ("kind,x,y,r" in reference pixels,
    an optional header). Every plated hole is also listed as a measured hole
    (kind 12), as the tool's `inspect --holes` does, so that its size is
    checked too. Pass the result as run_inspection(..., holes=...)."""
    rows = []
    for number, line in enumerate(Path(path).read_text().splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#") or (number == 1 and line.startswith("kind")):
            continue
        try:
            kind, x, y, r = (int(v) for v in line.split(","))
        except ValueError:
            raise ValueError(f"{path}: line {number}: expected kind,x,y,r (four integers)") from None
        if r < 0:
            raise ValueError(f"{path}: line {number}: radius {r} is negative")
        rows.append((kind, x, y, r))
        if kind == HOLE_PLATED:
            rows.append((HOLE_MEASURED, x, y, r))
    return np.array(rows, rec.HOLE_RECORD)


@dataclass
class RenderedBoard:
    reference: np.ndarray  # CAD labels
    holes: np.ndarray      # HOLE_RECORD, plated holes also as kind 12
    info: dict             # render.json


def load_render(folder: str | os.PathLike) -> RenderedBoard:
    """Reads what `pcbinspect render` wrote into a folder."""
    folder = Path(folder)
    return RenderedBoard(read_image(folder / "reference.png"),
                         read_holes_csv(folder / "holes.csv"),
                         json.loads((folder / "render.json").read_text()))


def _tool() -> str:
    named = os.environ.get(TOOL_VARIABLE)
    found = named or shutil.which("pcbinspect")
    if not found or not Path(found).exists():
        raise FileNotFoundError(f"the pcbinspect program was not found (set {TOOL_VARIABLE})")
    return found


def render(copper: str | os.PathLike, drills: Sequence[str | os.PathLike] = (), *,
           dpi: float | None = None, pixel_um: float | None = None, margin_px: int = 60,
           out: str | os.PathLike | None = None) -> RenderedBoard:
    """Runs `pcbinspect render` and reads its outputs. With `out` the files
    stay there; otherwise they go to a temporary folder that is removed.
    Input the tool refuses raises ValueError with its one-line message."""
    if dpi is not None and pixel_um is not None:
        raise ValueError("give dpi or pixel_um, not both")
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(out) if out is not None else Path(scratch)
        args = [_tool(), "render", "--copper", str(copper), "--margin-px", str(margin_px),
                "--out", str(folder)]
        for d in drills:
            args += ["--drill", str(d)]
        if dpi is not None:
            args += ["--dpi", str(dpi)]
        if pixel_um is not None:
            args += ["--pixel-um", str(pixel_um)]
        done = subprocess.run(args, capture_output=True, text=True)
        if done.returncode != 0:
            message = done.stderr.strip().splitlines()
            raise ValueError(message[-1] if message else f"pcbinspect render failed ({done.returncode})")
        return load_render(folder)
