"""Evaluation against annotated boards: inspect every pair of a list and
match the flaws found with the annotated defect boxes, with the figures of
the command-line tool's `evaluate`.

A list file holds one pair a line, "REFERENCE CAMERA TRUTH" (spaces and/or
commas), paths relative to the list's folder. A truth file holds one defect
a line, "x1 y1 x2 y2 type" (spaces and/or commas), a box in camera pixels
and a type of the preset's evaluation types. In both, blank lines and lines
starting with # are skipped. The list and the existence of its files are
checked before the first inspection; a pair whose images or truth cannot be
read is a failed pair ("bad input"), counted apart, and the run goes on.

The work is split so that a pair can be evaluated anywhere (pcbinspect.cluster
sends evaluate_pair to other processes): evaluate_pair reads, inspects and
scores one pair into a PairOutcome, summarize adds the outcomes up into the
tool's summary.json, and report_text, pairs_csv and confusion_csv give the
tool's table and files."""

from __future__ import annotations

import json
import math
import os
import re
from dataclasses import dataclass, field

import numpy as np

from .flaw_codes import FAMILIES, describe_flaw
from .image_files import read_image
from .pipeline import run_inspection
from .presets import Preset, load_preset

#: The families in the tool's order, with the family of codes outside the table.
ALL_FAMILIES = FAMILIES + ("unknown",)

#: Status of a pair: inspected and placed, inspected but not placed, or its
#: files could not be read (a failed pair).
OK, NOT_PLACED, BAD_INPUT = "ok", "not placed", "bad input"


@dataclass(frozen=True)
class Box:
    x1: int
    y1: int
    x2: int
    y2: int
    type: int


@dataclass(frozen=True)
class EvaluationPair:
    """One line of a list: the paths as the tool writes them (joined to the
    list's folder unless absolute)."""
    reference: str
    camera: str
    truth: str


def _fields(line: str) -> list[str]:
    return [f for f in re.split(r"[,\s]+", line) if f]


def _lines(path):
    """(line number, text) of the lines that are not blank or comments."""
    with open(path) as f:
        text = f.read()
    for n, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if line and not line.startswith("#"):
            yield n, line


def read_truth(path: str | os.PathLike, camera_size: tuple[int, int],
               types: set[int]) -> tuple[Box, ...]:
    """The boxes of a truth file, corners ordered; ValueError names the file
    and line of a malformed line, an unknown type or a box outside the
    camera image of camera_size (width, height)."""
    width, height = camera_size
    boxes = []
    for n, line in _lines(path):
        fields = _fields(line)
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


def read_evaluation_list(list_path: str | os.PathLike) -> list[EvaluationPair]:
    """The pairs of a list file; ValueError names the list and line of a
    malformed line or a file that does not exist, and a list without pairs.
    Truth files and images are read with their pair."""
    folder = os.path.dirname(os.fspath(list_path))
    pairs = []
    for n, line in _lines(list_path):
        fields = _fields(line)
        if len(fields) != 3:
            raise ValueError(f"{list_path}:{n}: expected REFERENCE CAMERA TRUTH, got "
                             f"{len(fields)} field(s)")
        paths = [os.path.join(folder, f) for f in fields]  # an absolute path stays as it is
        for p in paths:
            if not os.path.isfile(p):
                raise ValueError(f"{list_path}:{n}: no file {p}")
        pairs.append(EvaluationPair(*paths))
    if not pairs:
        raise ValueError(f"{list_path}: no pairs listed")
    return pairs


@dataclass
class Tally:
    """Counts of one defect type, or of all. records: the records whose
    family the type accepts, true_records those of them on a box whose type
    accepts their family (overall: all records, and those on any box);
    agreeing: found boxes whose nearest record is of the type's families."""
    defects: int = 0
    found: int = 0
    records: int = 0
    true_records: int = 0
    agreeing: int = 0

    def add(self, other: Tally) -> None:
        self.defects += other.defects
        self.found += other.found
        self.records += other.records
        self.true_records += other.true_records
        self.agreeing += other.agreeing

    @property
    def recall(self) -> float:
        return self.found / self.defects if self.defects else 0.0

    @property
    def precision(self) -> float:
        return self.true_records / self.records if self.records else 1.0

    @property
    def f(self) -> float:
        p, r = self.precision, self.recall
        return 2 * p * r / (p + r) if p + r > 0 else 0.0

    @property
    def agreement(self) -> float:
        return self.agreeing / self.found if self.found else 0.0

    def as_json(self) -> dict:
        return {"defects": self.defects, "found": self.found, "recall": self.recall,
                "records": self.records, "true_records": self.true_records,
                "precision": self.precision, "f": self.f, "agreement": self.agreement}


@dataclass
class PairTally:
    all: Tally = field(default_factory=Tally)
    types: dict[int, Tally] = field(default_factory=dict)              # by type number
    confusion: dict[int, dict[str, int]] = field(default_factory=dict)  # type -> family -> n

    def add(self, other: PairTally) -> None:
        self.all.add(other.all)
        for kind, t in other.types.items():
            self.types.setdefault(kind, Tally()).add(t)
        for kind, row in other.confusion.items():
            mine = self.confusion.setdefault(kind, {})
            for family, n in row.items():
                mine[family] = mine.get(family, 0) + n


@dataclass
class PairOutcome:
    """One evaluated pair: its status (OK, NOT_PLACED or BAD_INPUT), the
    reason of a failure, its counts and its timings."""
    status: str
    error: str = ""
    tally: PairTally = field(default_factory=PairTally)
    search_ms: float = 0.0
    inspect_ms: float = 0.0


def score_pair(boxes, flaws: np.ndarray, preset: Preset, margin: int) -> PairTally:
    """The flaws of one pair against its boxes. A flaw matches a box when its
    camera position lies in the box grown by `margin` on every side. A box
    is found when a flaw matches it; the nearest matching flaw (camera
    distance to the box centre, the first on ties) speaks for it: the box
    agrees when that flaw's family is among its type's families. A record
    counts for every type whose families hold its family, and is true there
    when it lies on a box whose type accepts its family."""
    by_type = {t.type: t for t in preset.evaluation_types}
    tally = PairTally()
    cx, cy = flaws["camX"].astype(np.int64), flaws["camY"].astype(np.int64)
    families = [describe_flaw(int(c)).family for c in flaws["code"]]
    accepts = {t.type: np.array([f in t.families for f in families], bool)
               for t in preset.evaluation_types}
    on_any = np.zeros(len(flaws), bool)
    explained = np.zeros(len(flaws), bool)
    for box in boxes:
        kind = by_type[box.type]
        counts = tally.types.setdefault(box.type, Tally())
        counts.defects += 1
        tally.all.defects += 1
        inside = ((cx >= box.x1 - margin) & (cx <= box.x2 + margin)
                  & (cy >= box.y1 - margin) & (cy <= box.y2 + margin))
        on_any |= inside
        explained |= inside & accepts[box.type]
        if not inside.any():
            continue
        centre_x, centre_y = (box.x1 + box.x2) / 2, (box.y1 + box.y2) / 2
        distance = np.where(inside, np.hypot(cx - centre_x, cy - centre_y), np.inf)
        family = families[int(np.argmin(distance))]  # argmin: the first of equals
        agrees = family in kind.families
        counts.found += 1
        tally.all.found += 1
        counts.agreeing += agrees
        tally.all.agreeing += agrees
        row = tally.confusion.setdefault(box.type, {})
        row[family] = row.get(family, 0) + 1
    tally.all.records = len(flaws)
    tally.all.true_records = int(on_any.sum())
    for t in preset.evaluation_types:
        held = accepts[t.type]
        if held.any():
            counts = tally.types.setdefault(t.type, Tally())
            counts.records += int(held.sum())
            counts.true_records += int((held & explained).sum())
    return tally


def input_error(e: Exception) -> str | None:
    """The message of a failure to read or check one pair's input, or None
    for anything else (which is not the pair's fault: it is raised on)."""
    from ._library import LibraryNotFound
    if isinstance(e, LibraryNotFound):
        return None
    if isinstance(e, OSError) and e.filename is not None:
        return f"{e.filename}: {e.strerror or e}"
    if isinstance(e, (ValueError, OSError, UnicodeDecodeError)):
        return str(e)
    return None


def read_images(reference: str, camera: str, golden: bool):
    """The images of a pair; outside golden mode both must be 8-bit gray."""
    images = read_image(reference), read_image(camera)
    if not golden:
        for path, image in zip((reference, camera), images):
            if image.ndim != 2:
                raise ValueError(f"{path}: a colour image; CAD labels and their camera images "
                                 f"are 8-bit gray (colour is read in golden mode)")
    return images


def evaluate_pair(pair: EvaluationPair, preset: Preset, *, golden: bool = False,
                  copper: str = "bright", threshold: int | None = None,
                  margin: int = 4) -> PairOutcome:
    """Reads, inspects and scores one pair. Files that cannot be read, a
    malformed truth file or images that do not fit give a BAD_INPUT outcome
    with the reason; a pair not placed counts its boxes as missed."""
    try:
        reference, camera = read_images(pair.reference, pair.camera, golden)
        types = {t.type for t in preset.evaluation_types}
        boxes = read_truth(pair.truth, (camera.shape[1], camera.shape[0]), types)
        run = run_inspection(reference, camera, preset, golden=golden, copper=copper,
                             threshold=threshold)
    except Exception as e:  # noqa: BLE001 - input errors become the pair's outcome
        message = input_error(e)
        if message is None:
            raise
        return PairOutcome(BAD_INPUT, message)
    # A pair not placed has no records: its boxes count as missed.
    return PairOutcome(OK if run.placed else NOT_PLACED, "",
                       score_pair(boxes, run.flaws, preset, margin), run.search_ms,
                       run.inspect_ms)


def summarize(outcomes: list[PairOutcome], preset: Preset, margin: int) -> dict:
    """The tool's summary.json of a run: the overall counts and shares, the
    pairs, those not placed and those failed, the margin, the mean timings
    of the pairs inspected, every type that has defects or records (by type
    number) and the confusion of every preset type (type -> family of the
    nearest record -> count, zeros left out)."""
    total = PairTally()
    not_placed = failed = inspected = 0
    search_ms = inspect_ms = 0.0
    for o in outcomes:
        if o.status == BAD_INPUT:
            failed += 1
            continue
        not_placed += o.status == NOT_PLACED
        total.add(o.tally)
        inspected += 1
        search_ms += o.search_ms
        inspect_ms += o.inspect_ms
    names = {t.type: t.name for t in preset.evaluation_types}
    summary = total.all.as_json()
    summary.update({
        "pairs": len(outcomes), "not_placed": not_placed, "failed": failed, "margin": margin,
        "search_ms": search_ms / inspected if inspected else 0.0,
        "inspect_ms": inspect_ms / inspected if inspected else 0.0,
        "types": {names.get(k, str(k)): total.types[k].as_json() for k in sorted(total.types)},
        "confusion": {t.name: {f: total.confusion[t.type][f] for f in ALL_FAMILIES
                               if total.confusion.get(t.type, {}).get(f)}
                      for t in preset.evaluation_types},
    })
    return summary


def report_text(summary: dict) -> str:
    """The tool's table of a summary, ending with the machine-readable line
    "evaluate: recall=R precision=P f=F agreement=A pairs=N notplaced=K"."""
    lines = ["%-18s %8s %7s %7s %8s %6s %9s %6s %9s" % (
        "type", "defects", "found", "recall", "records", "true", "precision", "F", "agreement")]
    rows = [*summary["types"].items(), ("all", summary)]
    for name, t in rows:
        lines.append("%-18s %8d %7d %7.3f %8d %6d %9.3f %6.3f %9.3f" % (
            name, t["defects"], t["found"], t["recall"], t["records"], t["true_records"],
            t["precision"], t["f"], t["agreement"]))
    s = summary
    lines.append("%d pairs, %d not placed, %d failed; search %.1f ms, inspection %.1f ms a pair"
                 % (s["pairs"], s["not_placed"], s["failed"], s["search_ms"], s["inspect_ms"]))
    lines.append("evaluate: recall=%.4f precision=%.4f f=%.4f agreement=%.4f pairs=%d "
                 "notplaced=%d" % (s["recall"], s["precision"], s["f"], s["agreement"],
                                   s["pairs"], s["not_placed"]))
    return "\n".join(lines) + "\n"


def quoted(text: str) -> str:
    """A CSV field in double quotes, inner quotes doubled."""
    return '"' + text.replace('"', '""') + '"'


def number(x: float) -> str:
    """A double as the tool's streams write it (six significant digits)."""
    return format(x, "g") if math.isfinite(x) else str(x)


def pairs_csv(pairs: list[EvaluationPair], outcomes: list[PairOutcome]) -> str:
    rows = ["pair,reference,camera,truth,status,defects,found,records,true_records,search_ms,"
            "inspect_ms,error"]
    for i, (p, o) in enumerate(zip(pairs, outcomes), 1):
        a = o.tally.all
        rows.append(",".join([str(i), quoted(p.reference), quoted(p.camera), quoted(p.truth),
                              o.status, str(a.defects), str(a.found), str(a.records),
                              str(a.true_records), number(o.search_ms), number(o.inspect_ms),
                              quoted(o.error)]))
    return "\n".join(rows) + "\n"


def confusion_csv(summary: dict) -> str:
    rows = [",".join(("type",) + ALL_FAMILIES)]
    for name, row in summary["confusion"].items():
        rows.append(",".join([quoted(name)] + [str(row.get(f, 0)) for f in ALL_FAMILIES]))
    return "\n".join(rows) + "\n"


def write_files(folder: str | os.PathLike, texts: dict[str, str | bytes]) -> None:
    """Writes every file (names may hold subfolders) under a staged name
    first and renames them all at the end, so that a failure leaves no
    half-written set behind."""
    os.makedirs(folder, exist_ok=True)
    staged = []
    try:
        for name, text in texts.items():
            final = os.path.join(folder, name)
            head, tail = os.path.split(final)
            os.makedirs(head, exist_ok=True)
            tmp = os.path.join(head, f".{tail}.partial")
            staged.append((tmp, final))
            with open(tmp, "wb") as f:
                f.write(text if isinstance(text, bytes) else text.encode("utf-8"))
        for tmp, final in staged:
            os.replace(tmp, final)
    finally:
        for tmp, _ in staged:
            if os.path.exists(tmp):
                os.remove(tmp)


def write_evaluation(folder: str | os.PathLike, pairs: list[EvaluationPair],
                     outcomes: list[PairOutcome], summary: dict) -> None:
    """summary.json, pairs.csv and confusion.csv, as the tool writes them."""
    write_files(folder, {
        "summary.json": json.dumps(summary, indent=2, ensure_ascii=False) + "\n",
        "pairs.csv": pairs_csv(pairs, outcomes),
        "confusion.csv": confusion_csv(summary),
    })


def prepare(preset: Preset | str | os.PathLike | None, copper: str, threshold: int | None,
            margin: int = 0) -> Preset:
    """The preset, loaded; ValueError for settings that would fail every pair."""
    if copper not in ("bright", "dark"):
        raise ValueError(f'copper must be "bright" or "dark", not {copper!r}')
    if threshold is not None and not 0 <= threshold <= 255:
        raise ValueError(f"threshold {threshold} is outside 0 to 255")
    if margin < 0:
        raise ValueError(f"margin {margin} is negative")
    return preset if isinstance(preset, Preset) else load_preset(preset or "default")


def absolute(pair: EvaluationPair) -> EvaluationPair:
    """The pair with absolute paths, which read the same in any process."""
    return EvaluationPair(*(os.path.abspath(p) for p in (pair.reference, pair.camera,
                                                          pair.truth)))


def run_evaluation(pairs: list[EvaluationPair], preset: Preset, *, golden: bool = False,
                   copper: str = "bright", threshold: int | None = None, margin: int = 4,
                   progress=None) -> list[PairOutcome]:
    """evaluate_pair on every pair in this process, in order; progress, when
    given, is called with (index, outcome) after each pair."""
    outcomes = []
    for i, pair in enumerate(pairs):
        outcomes.append(evaluate_pair(absolute(pair), preset, golden=golden, copper=copper,
                                      threshold=threshold, margin=margin))
        if progress is not None:
            progress(i, outcomes[-1])
    return outcomes


def evaluate(list_path: str | os.PathLike, *, golden: bool = False, copper: str = "bright",
             threshold: int | None = None, preset: Preset | str | os.PathLike | None = None,
             margin: int = 4) -> dict:
    """Inspects every pair of the list here, one after the other, and returns
    the tool's summary (summarize). Shares whose whole is 0 are 0, but
    precision, which is 1 without records."""
    preset = prepare(preset, copper, threshold, margin)
    pairs = read_evaluation_list(list_path)
    outcomes = run_evaluation(pairs, preset, golden=golden, copper=copper, threshold=threshold,
                              margin=margin)
    return summarize(outcomes, preset, margin)
