"""Finds the library under test: PCBINSPECT_LIBRARY (scripts/test.sh sets
it to the release build's libpcbinspect.so), else the release build of this
checkout."""

import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))

if not os.environ.get("PCBINSPECT_LIBRARY"):
    built = ROOT / "build" / "release" / "src" / "libpcbinspect.so"
    if built.exists():
        os.environ["PCBINSPECT_LIBRARY"] = str(built)
