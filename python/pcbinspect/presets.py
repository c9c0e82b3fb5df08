"""Presets: every setting of the suspected-flaw search and of the inspection,
named by meaning, in the JSON files of the command-line tool
(tools/presets/*.json), turned into the arguments the exports take.

A preset file names only what it changes: the rest comes from the default
preset. Unknown keys are rejected, as the tool rejects them.

Besides the arguments of the exports, a preset holds the alignment score
below which a placement is not trusted (search.min_alignment_score) and the
annotated defect types of evaluate (evaluation.types)."""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from . import records as rec
from .flaw_codes import FAMILIES

#: Environment variable naming a folder of preset files.
PRESETS_VARIABLE = "PCBINSPECT_PRESETS"

#: The 35 limits of inspect's parameter vector, by entry.
LIMIT_NAMES = (
    "excess_ratio", "missing_ratio", "excess_extent", "missing_extent", "line_hole_ratio",
    "widening_ratio", "narrowing_ratio", "spacing_ratio", "line_area_gap", "unused_9",
    "pad_bulge", "pad_bite", "pad_radius_change_px", "pad_radius_change_ratio",
    "excess_copper", "missing_copper", "pin_hole", "hole_offset", "hole_missing_arc",
    "ring_excess", "ring_missing", "ring_excess_second", "ring_missing_second", "line_gap",
    "pad_excess", "pad_missing", "pad_pin_hole", "pad_line_width_change_px",
    "pad_line_width_change_ratio", "hole_growth_ratio", "hole_shrink_ratio", "hole_growth_px",
    "hole_shrink_px", "isolated_excess", "isolated_missing",
)

#: Control-block fields by preset key (the block's second int is unused).
CONTROL_FIELDS = {
    "corner_relaxation_percent": "tolerancePercent",
    "isolation_distance_px": "padAreaLimit",
    "thin_line_px": "lineWidthBound",
    "thin_line_camera_px": "cameraWidthBound",
}

#: Width-tolerance fields by preset key, in record order.
TOLERANCE_FIELDS = {
    "line_width_px": "key", "excess_ratio": "excessLimit1", "missing_ratio": "missingLimit1",
    "excess_extent": "excessLimit2", "missing_extent": "missingLimit2",
    "line_hole_ratio": "differenceLimit", "widening_ratio": "widenLimit",
    "narrowing_ratio": "narrowLimit", "spacing_ratio": "spacingLimit",
}

_SEARCH_KEYS = {"ignore_growth_px": int, "border_px": int, "agreement_threshold": float,
                "flaw_spacing_px": int, "empty_flaw_spacing_px": int,
                "line_exclusion_radius_px": int, "reference_line_excludes": bool,
                "exhaustive_coarse_search": bool, "narrow_vertical_search": bool,
                "max_suspects": int, "min_alignment_score": float}
#: Allowed ranges of keys that have one.
_RANGES = {"search.min_alignment_score": (0.0, 1.0)}
_CANDIDATE_KEYS = {"suppress_radius_px": int, "drop_near_reference_lines": bool,
                   "max_flaws": int, "check_holes": bool}
_DEFECT_KEYS = {"box_margin": int}
#: The defect types of find_defects, in the numbering of the tool's C interface.
DEFECT_TYPES = ("open", "mousebite", "short", "spur", "spurious_copper", "pin_hole", "width",
                "spacing", "pad", "hole", "missing_feature", "extra_feature")


@dataclass(frozen=True)
class EvaluationType:
    """An annotated defect type: its number in truth files, its name, the
    flaw families that count as finding it and the defect type that matches
    its boxes ("" when its name is none)."""

    type: int
    name: str
    families: tuple[str, ...]
    defect: str = ""


@dataclass
class Preset:
    about: str
    search: dict            # the "search" section, every key present
    candidates: dict        # the "candidates" section, every key present
    params: np.ndarray      # 35 float32 limits
    control: np.ndarray     # one INSPECT_CONTROL record
    tolerances: np.ndarray  # WIDTH_TOLERANCE records
    source: str = field(default="")
    evaluation_types: tuple[EvaluationType, ...] = ()  # the "evaluation" section's types
    defects: dict = field(default_factory=lambda: {"box_margin": 8})  # the "defects" section
    photo: dict = field(default_factory=lambda: {"min_defect_px": 6})  # the "photo" section

    @property
    def min_alignment_score(self) -> float:
        """Below this score a placement counts as failed: no flaws are listed."""
        return self.search["min_alignment_score"]

    def to_dict(self) -> dict:
        """The preset as JSON sections, as a preset file holds them (without
        the evaluation types)."""
        return {"about": self.about, "search": dict(self.search),
                "candidates": dict(self.candidates),
                "limits": {name: float(v) for name, v in zip(LIMIT_NAMES, self.params)},
                "control": {k: int(self.control[f][0]) for k, f in CONTROL_FIELDS.items()},
                "width_tolerances": [{k: float(row[f]) for k, f in TOLERANCE_FIELDS.items()}
                                     for row in self.tolerances],
                "defects": dict(self.defects), "photo": dict(self.photo)}

    def search_arguments(self) -> dict:
        """Keyword arguments of find_suspected_flaws (min_alignment_score is
        the pipeline's, not the search's)."""
        s = self.search
        return dict(grow=s["ignore_growth_px"], border=s["border_px"],
                    threshold=s["agreement_threshold"], spacing=s["flaw_spacing_px"],
                    empty_spacing=s["empty_flaw_spacing_px"],
                    exclusion_radius=s["line_exclusion_radius_px"],
                    code151_excludes=s["reference_line_excludes"],
                    exhaustive=s["exhaustive_coarse_search"],
                    mode=2 if s["narrow_vertical_search"] else 0,
                    max_suspects=s["max_suspects"])

    def inspect_arguments(self) -> dict:
        """Keyword arguments of inspect, besides the images, shift and candidates."""
        c = self.candidates
        return dict(params=self.params, tolerances=self.tolerances, control=self.control,
                    suppress_radius=c["suppress_radius_px"], max_flaws=c["max_flaws"],
                    check_lines=c["drop_near_reference_lines"], check_holes=c["check_holes"])


def preset_folders() -> list[Path]:
    """Where named presets are looked for, in order: PCBINSPECT_PRESETS, the
    tool's folder of a source checkout, then the copy an installed package
    carries (made at build time)."""
    folders = []
    if os.environ.get(PRESETS_VARIABLE):
        folders.append(Path(os.environ[PRESETS_VARIABLE]))
    here = Path(__file__).resolve().parent
    source_tree = here.parents[1] / "tools" / "presets"
    if source_tree.is_dir():
        folders.append(source_tree)
    folders.append(here / "presets")
    return folders


def _find(name_or_path: str | os.PathLike) -> Path:
    p = Path(name_or_path)
    if p.suffix == ".json" or p.exists():
        return p
    for folder in preset_folders():
        if (folder / f"{name_or_path}.json").exists():
            return folder / f"{name_or_path}.json"
    raise FileNotFoundError(f"no preset named {name_or_path!r} in "
                            + ", ".join(str(f) for f in preset_folders()))


def _value(v, kind, where: str, source: str):
    if kind is bool:
        if not isinstance(v, bool):
            raise ValueError(f"{source}: {where} must be true or false")
        return v
    if isinstance(v, bool) or not isinstance(v, (int, float)):
        raise ValueError(f"{source}: {where} must be a number")
    if kind is int:
        if float(v) != int(v):
            raise ValueError(f"{source}: {where} must be a whole number")
        v = int(v)
    else:
        v = float(v)
    low, high = _RANGES.get(where.strip('"'), (None, None))
    if low is not None and not low <= v <= high:
        raise ValueError(f"{source}: {where} must be between {low} and {high}")
    return v


def _evaluation_types(body, source: str) -> tuple[EvaluationType, ...]:
    """The "evaluation" section: {"types": [{"type", "name", "families"}, ...]}."""
    if not isinstance(body, dict):
        raise ValueError(f'{source}: "evaluation" must be an object')
    for k in body:
        if k != "types":
            raise ValueError(f'{source}: unknown key "evaluation.{k}"')
    rows = body.get("types")
    if not isinstance(rows, list) or not rows:
        raise ValueError(f'{source}: "evaluation.types" must be a list of types')
    types: list[EvaluationType] = []
    for i, row in enumerate(rows):
        at = f"evaluation.types[{i}]"
        if not isinstance(row, dict) or not ({"type", "name", "families"} <= set(row) <=
                                             {"type", "name", "families", "defect"}):
            raise ValueError(f'{source}: {at} must hold "type", "name", "families" and '
                             f'optionally "defect"')
        number = _value(row["type"], int, f'"{at}.type"', source)
        if number < 0:
            raise ValueError(f'{source}: "{at}.type" must not be negative')
        if not isinstance(row["name"], str):
            raise ValueError(f"{source}: {at}.name must be a text")
        families = row["families"]
        if not isinstance(families, list):
            raise ValueError(f"{source}: {at}.families must be a list of family names")
        for f in families:
            if f not in FAMILIES:
                raise ValueError(f"{source}: {at}.families: {json.dumps(f)} is not a flaw "
                                 f"family ({', '.join(FAMILIES)})")
        if any(t.type == number for t in types):
            raise ValueError(f"{source}: {at}: type {number} is listed twice")
        if "defect" in row:
            defect = row["defect"]
            if defect not in DEFECT_TYPES:
                raise ValueError(f"{source}: {at}.defect: {json.dumps(defect)} is not a defect "
                                 f"type ({', '.join(DEFECT_TYPES)})")
        else:
            guess = row["name"].replace(" ", "_").replace("-", "_")
            defect = guess if guess in DEFECT_TYPES else ""
        types.append(EvaluationType(number, row["name"], tuple(families), defect))
    return tuple(types)


def preset_from_dict(data: dict, source: str = "preset", base: Preset | None = None) -> Preset:
    """A preset from parsed JSON over `base` (the default preset when None)."""
    if not isinstance(data, dict):
        raise ValueError(f"{source}: a preset must be a JSON object")
    p = base if base is not None else load_preset("default")
    p = Preset(p.about, dict(p.search), dict(p.candidates), p.params.copy(), p.control.copy(),
               p.tolerances.copy(), source, p.evaluation_types, dict(p.defects),
               dict(p.photo))
    for section, body in data.items():
        if section == "about":
            p.about = str(body)
        elif section in ("search", "candidates"):
            keys = _SEARCH_KEYS if section == "search" else _CANDIDATE_KEYS
            target = p.search if section == "search" else p.candidates
            for k, v in body.items():
                if k not in keys:
                    raise ValueError(f'{source}: unknown key "{section}.{k}"')
                target[k] = _value(v, keys[k], f'"{section}.{k}"', source)
        elif section == "defects":
            for k, v in body.items():
                if k not in _DEFECT_KEYS:
                    raise ValueError(f'{source}: unknown key "defects.{k}"')
                v = _value(v, _DEFECT_KEYS[k], f'"defects.{k}"', source)
                if not 0 <= v <= 1000:
                    raise ValueError(f'{source}: "defects.{k}" is {v}, outside 0 to 1000')
                p.defects[k] = v
        elif section == "photo":
            for k, v in body.items():
                if k != "min_defect_px":
                    raise ValueError(f'{source}: unknown key "photo.{k}"')
                v = _value(v, int, f'"photo.{k}"', source)
                if not 1 <= v <= 10000:
                    raise ValueError(f'{source}: "photo.{k}" is {v}, outside 1 to 10000')
                p.photo[k] = v
        elif section == "limits":
            for k, v in body.items():
                if k not in LIMIT_NAMES:
                    raise ValueError(f'{source}: unknown key "limits.{k}"')
                p.params[LIMIT_NAMES.index(k)] = _value(v, float, f'"limits.{k}"', source)
        elif section == "control":
            for k, v in body.items():
                if k not in CONTROL_FIELDS:
                    raise ValueError(f'{source}: unknown key "control.{k}"')
                p.control[CONTROL_FIELDS[k]] = _value(v, int, f'"control.{k}"', source)
        elif section == "width_tolerances":
            rows = np.zeros(len(body), rec.WIDTH_TOLERANCE)
            for i, row in enumerate(body):
                missing = set(TOLERANCE_FIELDS) - set(row)
                unknown = set(row) - set(TOLERANCE_FIELDS)
                if unknown:
                    raise ValueError(f'{source}: unknown key "width_tolerances[{i}].'
                                     f'{sorted(unknown)[0]}"')
                if missing:
                    raise ValueError(f'{source}: width_tolerances[{i}] lacks '
                                     f'"{sorted(missing)[0]}"')
                for k, f in TOLERANCE_FIELDS.items():
                    rows[i][f] = _value(row[k], float, f'"width_tolerances[{i}].{k}"', source)
            p.tolerances = rows
        elif section == "evaluation":
            p.evaluation_types = _evaluation_types(body, source)
        else:
            raise ValueError(f'{source}: unknown section "{section}"')
    return p


_default: Preset | None = None


def load_preset(name_or_path: str | os.PathLike = "default") -> Preset:
    """A preset by name ("default") or path to a JSON file."""
    global _default
    if str(name_or_path) == "default" and _default is not None:
        return _default
    path = _find(name_or_path)
    data = json.loads(path.read_text())
    if str(name_or_path) == "default":
        # The default preset stands alone: every key present.
        empty = Preset("", {}, {}, np.zeros(35, np.float32), np.zeros(1, rec.INSPECT_CONTROL),
                       np.zeros(0, rec.WIDTH_TOLERANCE))
        p = preset_from_dict(data, str(path), base=empty)
        lacking = ([f"search.{k}" for k in _SEARCH_KEYS if k not in p.search]
                   + [f"candidates.{k}" for k in _CANDIDATE_KEYS if k not in p.candidates]
                   + [f"limits.{k}" for k in LIMIT_NAMES if k not in data.get("limits", {})]
                   + ([] if p.evaluation_types else ["evaluation.types"]))
        if lacking:
            raise ValueError(f"{path}: the default preset lacks {lacking[0]}")
        _default = p
        return p
    return preset_from_dict(data, str(path))
