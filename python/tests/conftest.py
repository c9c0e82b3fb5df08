"""Chooses the package under test with PCBINSPECT_PYTHON:

- "checkout": python/ of this checkout, with the library of PCBINSPECT_LIBRARY,
  else the release build of this checkout (scripts/test.sh's first run);
- "installed": the package installed in this interpreter, with the library
  it carries; the checkout's package and PCBINSPECT_LIBRARY are refused
  (scripts/test.sh's run in a virtual environment);
- unset: "checkout" when PCBINSPECT_LIBRARY is set or no package is
  installed, else "installed"."""

import importlib.util
import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CHECKOUT = ROOT / "python"

_mode = os.environ.get("PCBINSPECT_PYTHON", "")
if _mode not in ("", "checkout", "installed"):
    raise RuntimeError(f'PCBINSPECT_PYTHON is "{_mode}"; use "checkout" or "installed"')
if not _mode:
    installed = importlib.util.find_spec("pcbinspect")
    _mode = ("checkout" if os.environ.get("PCBINSPECT_LIBRARY") or installed is None
             else "installed")

if _mode == "checkout":
    sys.path.insert(0, str(CHECKOUT))
    if not os.environ.get("PCBINSPECT_LIBRARY"):
        built = ROOT / "build" / "release" / "src" / "libpcbinspect.so"
        if built.exists():
            os.environ["PCBINSPECT_LIBRARY"] = str(built)
elif os.environ.get("PCBINSPECT_LIBRARY"):
    raise RuntimeError("testing the installed package, which carries its library: unset "
                       "PCBINSPECT_LIBRARY")

import pcbinspect  # noqa: E402

_package = Path(pcbinspect.__file__).resolve().parent
if _mode == "installed" and _package.is_relative_to(CHECKOUT):
    raise RuntimeError(f"testing the installed package, but pcbinspect comes from the "
                       f"checkout ({_package}); run from outside python/")


def pytest_report_header(config):
    return (f"pcbinspect ({_mode}): {_package}, library "
            f"{os.environ.get('PCBINSPECT_LIBRARY') or 'next to the package'}")


@pytest.fixture(scope="session")
def tool():
    """The command-line tool: PCBINSPECT_TOOL, else the release build's."""
    path = Path(os.environ.get("PCBINSPECT_TOOL",
                               ROOT / "build" / "release" / "tools" / "pcbinspect"))
    if not path.exists():
        if os.environ.get("PCBINSPECT_TOOL"):
            pytest.fail(f"PCBINSPECT_TOOL names {path}, which does not exist")
        pytest.skip("the command-line tool is not built")
    return path
