"""Inspecting many pairs from their files, as the command-line tool's
`batch` does: the batch list, one pair read and inspected into a PairRun
(which pcbinspect.cluster runs in other processes), and the tool's files:
report.json and report.csv for each pair and summary.csv for the run.

A batch list holds one pair a line, "REFERENCE CAMERA [IGNORE [MASK]]", "-"
for a map not given, paths relative to the list's folder; blank lines and
lines starting with # are skipped."""

from __future__ import annotations

import json
import os
from dataclasses import dataclass

import numpy as np

from .evaluation import (BAD_INPUT, NOT_PLACED, OK, input_error, number, quoted, read_images,
                         write_files)
from .flaw_codes import describe_flaw
from .image_files import read_image
from .pipeline import InspectionRun, run_inspection
from .presets import Preset


@dataclass(frozen=True)
class BatchPair:
    reference: str
    camera: str
    ignore: str | None = None  # ignore map of the reference's size
    mask: str | None = None    # camera mask of the camera image's size


@dataclass
class PairRun:
    """One inspected pair: its status (OK, NOT_PLACED or BAD_INPUT), the
    reason of a failure, the inspection and the images' (width, height)."""
    status: str
    error: str = ""
    run: InspectionRun | None = None
    reference_size: tuple[int, int] = (0, 0)
    camera_size: tuple[int, int] = (0, 0)


def as_pair(item) -> BatchPair:
    """A BatchPair from itself or from a (reference, camera[, ignore[, mask]])
    sequence of paths."""
    if isinstance(item, BatchPair):
        return item
    paths = [None if p is None else os.fspath(p) for p in item]
    if not 2 <= len(paths) <= 4:
        raise ValueError(f"a pair is (reference, camera[, ignore[, mask]]), not {item!r}")
    return BatchPair(*paths)


def read_batch_list(list_path: str | os.PathLike) -> list[BatchPair]:
    """The pairs of a batch list; ValueError names the list and line of a
    malformed line, and a list without pairs."""
    folder = os.path.dirname(os.fspath(list_path))
    pairs = []
    with open(list_path) as f:
        lines = f.read().splitlines()
    for n, line in enumerate(lines, 1):
        w = line.split()
        if not w or w[0].startswith("#"):
            continue
        if not 2 <= len(w) <= 4:
            raise ValueError(f"{list_path}:{n}: expected REFERENCE CAMERA [IGNORE [MASK]], got "
                             f"{len(w)} field(s)")
        if "-" in w[:2]:
            raise ValueError(f"{list_path}:{n}: the reference and the camera image are needed")
        paths = [None if p == "-" else os.path.join(folder, p) for p in w]
        pairs.append(BatchPair(*paths))
    if not pairs:
        raise ValueError(f"{list_path}: no pairs listed")
    return pairs


def absolute(pair: BatchPair) -> BatchPair:
    """The pair with absolute paths, which read the same in any process."""
    return BatchPair(*(None if p is None else os.path.abspath(p)
                       for p in (pair.reference, pair.camera, pair.ignore, pair.mask)))


def inspect_files(pair: BatchPair, preset: Preset, *, golden: bool = False,
                  copper: str = "bright", threshold: int | None = None) -> PairRun:
    """Reads and inspects one pair. Files that cannot be read and images or
    maps that do not fit give a BAD_INPUT result with the reason."""
    try:
        reference, camera = read_images(pair.reference, pair.camera, golden)
        maps = {}
        for key, path in (("ignore", pair.ignore), ("camera_mask", pair.mask)):
            if path is not None:
                maps[key] = read_image(path)
                if maps[key].ndim != 2:
                    raise ValueError(f"{path}: a colour image; maps are 8-bit gray")
        for key, image, path, what in (("ignore", reference, pair.ignore, "reference"),
                                       ("camera_mask", camera, pair.mask, "camera image")):
            if key in maps and maps[key].shape != image.shape[:2]:
                h, w = maps[key].shape
                raise ValueError(f"{path}: {w} x {h} pixels differs from the {what} "
                                 f"({image.shape[1]} x {image.shape[0]})")
        run = run_inspection(reference, camera, preset, golden=golden, copper=copper,
                             threshold=threshold, **maps)
    except Exception as e:  # noqa: BLE001 - input errors become the pair's result
        message = input_error(e)
        if message is None:
            raise
        return PairRun(BAD_INPUT, message)
    return PairRun(OK if run.placed else NOT_PLACED, "", run,
                   (reference.shape[1], reference.shape[0]), (camera.shape[1], camera.shape[0]))


def _float32(x) -> float:
    """A single-precision value as the double the tool's JSON writes."""
    return float(np.float32(x))


def report_json(pair: BatchPair, preset: Preset, preset_name: str, result: PairRun) -> dict:
    """The tool's report.json of one inspected pair."""
    r = result.run
    placed_somewhere = r.placed or r.below_minimum
    (rw, rh), (cw, ch) = result.reference_size, result.camera_size
    families: dict[str, int] = {}
    flaws = []
    for f in r.flaws:
        d = describe_flaw(int(f["code"]))
        families[d.family] = families.get(d.family, 0) + 1
        flaws.append({"code": int(f["code"]), "name": d.name, "family": d.family,
                      "score": int(f["score"]) / 100.0,
                      "reference": {"x": int(f["refX"]), "y": int(f["refY"])},
                      "camera": {"x": int(f["camX"]), "y": int(f["camY"])},
                      "region_class": int(f["region"])})
    return {
        "reference": {"file": pair.reference, "width": rw, "height": rh},
        "camera": {"file": pair.camera, "width": cw, "height": ch},
        "ignore_map": pair.ignore, "camera_mask": pair.mask, "preset": preset_name,
        "placed": r.placed,
        "position": {"x": r.position[0] if placed_somewhere else 0,
                     "y": r.position[1] if placed_somewhere else 0},
        "alignment_score": _float32(r.score if placed_somewhere else 0.0),
        "min_alignment_score": _float32(preset.min_alignment_score),
        "suspect_count": len(r.suspects),
        "suspects": [{"reference": {"x": int(s["refX"]), "y": int(s["refY"])},
                      "camera": {"x": int(s["windowX"]), "y": int(s["windowY"])},
                      "agreement": int(s["agreement"]) / 100.0} for s in r.suspects],
        "timing_ms": {"search": r.search_ms, "inspect": r.inspect_ms},
        "flaw_count": len(flaws), "families": families, "flaws": flaws,
    }


def report_csv(run: InspectionRun) -> str:
    rows = ["code,name,family,score,ref_x,ref_y,cam_x,cam_y,region_class"]
    for f in run.flaws:
        d = describe_flaw(int(f["code"]))
        rows.append(f'{int(f["code"])},"{d.name}","{d.family}",{int(f["score"]) / 100.0:.2f},'
                    f'{f["refX"]},{f["refY"]},{f["camX"]},{f["camY"]},{f["region"]}')
    return "\n".join(rows) + "\n"


def folder_name(index: int, pair: BatchPair) -> str:
    """The folder of the index-th pair (from 0): "0001-" and the camera's stem."""
    stem = os.path.splitext(os.path.basename(pair.camera))[0]
    return f"{index + 1:04d}-{stem}"


def write_batch(out: str | os.PathLike, pairs: list[BatchPair], results: list[PairRun],
                preset: Preset, preset_name: str) -> None:
    """report.json and report.csv of every inspected pair, each in a folder
    of its own, and summary.csv, as the tool writes them (but no overlay)."""
    files = {}
    rows = ["pair,reference,camera,status,flaws,search_ms,inspect_ms,folder,error"]
    for i, (pair, r) in enumerate(zip(pairs, results)):
        folder = folder_name(i, pair) if r.status != BAD_INPUT else ""
        if folder:
            report = report_json(pair, preset, preset_name, r)
            files[f"{folder}/report.json"] = json.dumps(report, indent=2, sort_keys=True,
                                                        ensure_ascii=False) + "\n"
            files[f"{folder}/report.csv"] = report_csv(r.run)
        run = r.run
        rows.append(",".join([
            str(i + 1), quoted(pair.reference), quoted(pair.camera), r.status,
            str(len(run.flaws) if run else 0), number(run.search_ms if run else 0.0),
            number(run.inspect_ms if run else 0.0), quoted(folder), quoted(r.error)]))
    files["summary.csv"] = "\n".join(rows) + "\n"
    write_files(out, files)


def batch_line(results: list[PairRun], seconds: float, workers: int) -> str:
    """The closing line of a run, as the tool's."""
    n = len(results)
    flaws = sum(len(r.run.flaws) for r in results if r.run is not None)
    return ("%d pairs in %.2f s (%.2f pairs per second, %d workers): %d flaws, %d not placed, "
            "%d failed" % (n, seconds, n / seconds if seconds > 0 else 0.0, workers, flaws,
                           sum(r.status == NOT_PLACED for r in results),
                           sum(r.status == BAD_INPUT for r in results)))
