"""pcbinspect for Python: the inspection library's exports over ctypes, with
numpy images (2-D uint8 arrays) and records as numpy structured arrays.

The shared library is found through the PCBINSPECT_LIBRARY environment
variable (the file, or the folder holding it), next to this package, or on
the system's library path."""

from ._library import LIBRARY_VARIABLE, LibraryNotFound, library
from .cad import RenderedBoard, load_render, read_holes_csv, render
from .api import (InspectResult, SearchResult, build_time, copy_gray, correct_cad,
                  correct_invalid_lines, find_circles, find_suspected_flaws, get_mask_gray,
                  get_sub_gray, get_sub_gray_nearest, inspect, prebuild_cuda_env, skew_dib, test,
                  zero_outbound_gray)
from .errors import PcbInspectError, last_error
from .evaluation import evaluate
from .flaw_codes import FAMILIES, FLAW_CODES, FlawCode, describe_flaw
from .image_files import image_size, read_image
from .pipeline import (GOLDEN_MARGIN, GOLDEN_THRESHOLD, InspectionRun, binary_camera,
                       binary_image, golden_reference, gray_of, run_inspection)
from . import photo  # photo.binarise: the photo front end
from .presets import EvaluationType, Preset, load_preset, preset_from_dict
from .records import (CIRCLE_RECORD, FLAW_CANDIDATE, FLAW_RECORD, HOLE_RECORD, INSPECT_CONTROL,
                      SUSPECT_RECORD, WIDTH_TOLERANCE)

__all__ = ["photo", 
    "LIBRARY_VARIABLE", "LibraryNotFound", "library", "InspectResult", "SearchResult",
    "build_time", "copy_gray", "correct_cad", "correct_invalid_lines", "find_circles",
    "find_suspected_flaws", "get_mask_gray", "get_sub_gray", "get_sub_gray_nearest", "inspect",
    "prebuild_cuda_env", "skew_dib", "test", "zero_outbound_gray", "PcbInspectError",
    "last_error", "CIRCLE_RECORD", "FLAW_CANDIDATE", "FLAW_RECORD", "HOLE_RECORD",
    "INSPECT_CONTROL", "SUSPECT_RECORD", "WIDTH_TOLERANCE", "FAMILIES", "FLAW_CODES", "FlawCode",
    "describe_flaw", "InspectionRun", "binary_camera", "binary_image", "golden_reference",
    "gray_of", "run_inspection", "GOLDEN_MARGIN", "GOLDEN_THRESHOLD", "EvaluationType", "Preset",
    "load_preset", "preset_from_dict", "evaluate", "image_size", "read_image",
    "RenderedBoard", "load_render", "read_holes_csv", "render",
]
