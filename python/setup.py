"""Builds libpcbinspect with CMake and puts it, with the default preset, into
the package: the installed package needs no PCBINSPECT_LIBRARY.

The C++ sources are the parent folder of this one in a checkout; a source
distribution carries a copy of them in cxx/. Extra CMake arguments come from
PCBINSPECT_CMAKE_ARGS (e.g. "-DPCBINSPECT_CUDA=OFF")."""

import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.command.sdist import sdist
from setuptools.dist import Distribution

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1
    from wheel.bdist_wheel import bdist_wheel

HERE = Path(__file__).resolve().parent
#: What the library's build reads, relative to the C++ source root.
CXX_PARTS = ("CMakeLists.txt", "cmake", "include", "src", "tools")
#: Where a source distribution carries those parts.
SDIST_CXX = "cxx"
LIBRARY_NAMES = {"win32": "pcbinspect.dll", "darwin": "libpcbinspect.dylib"}
#: The tool's library (defects, the photo front end), where it can be built.
TOOL_LIBRARY_NAMES = {"win32": "pcbinspect_tool.dll", "darwin": "libpcbinspect_tool.dylib"}


def _is_root(folder: Path) -> bool:
    top = folder / "CMakeLists.txt"
    return (top.is_file() and re.search(r"project\(\s*pcbinspect\b", top.read_text()) is not None
            and all((folder / part).exists() for part in CXX_PARTS))


def source_root() -> Path:
    for folder in (HERE.parent, HERE / SDIST_CXX):
        if _is_root(folder):
            return folder
    raise SystemExit(f"pcbinspect: no C++ source tree in {HERE.parent} or {HERE / SDIST_CXX}")


def version() -> str:
    text = (source_root() / "CMakeLists.txt").read_text()
    found = re.search(r"project\(\s*pcbinspect\s+VERSION\s+([0-9.]+)", text)
    if not found:
        raise SystemExit("pcbinspect: no VERSION in the project() call of CMakeLists.txt")
    return found.group(1)


class BuildPy(build_py):
    """The Python files, then the shared library and the default preset."""

    def run(self):
        super().run()
        root = source_root()
        package = Path(self.build_lib) / "pcbinspect"
        (package / "presets").mkdir(parents=True, exist_ok=True)
        shutil.copyfile(root / "tools" / "presets" / "default.json",
                        package / "presets" / "default.json")
        name = LIBRARY_NAMES.get(sys.platform, "libpcbinspect.so")
        tool_name = TOOL_LIBRARY_NAMES.get(sys.platform, "libpcbinspect_tool.so")
        built, tool = self._cmake(root, name, tool_name)
        # The real files, not the versioned links: a wheel holds no links.
        for path, target in ((built, package / name), (tool, package / tool_name)):
            if path is not None:
                shutil.copyfile(path.resolve(), target)
                os.chmod(target, 0o755)

    def _cmake(self, root: Path, name: str, tool_name: str):
        cmake = shutil.which("cmake")
        if cmake is None:
            raise SystemExit("pcbinspect: cmake is needed to build the library")
        build_dir = Path(self.get_finalized_command("build").build_temp).resolve() / "cmake"
        configure = [cmake, "-S", str(root), "-B", str(build_dir),
                     "-DCMAKE_BUILD_TYPE=Release", "-DPCBINSPECT_BUILD_TOOLS=ON",
                     "-DPCBINSPECT_BUILD_TESTS=OFF", "-DPCBINSPECT_BUILD_HOST_CALLS=OFF",
                     "-DPCBINSPECT_BUILD_BENCHMARKS=OFF", "-DPCBINSPECT_FUZZ=OFF"]
        if ("CMAKE_GENERATOR" not in os.environ and shutil.which("ninja")
                and not (build_dir / "CMakeCache.txt").exists()):
            configure += ["-G", "Ninja"]
        configure += shlex.split(os.environ.get("PCBINSPECT_CMAKE_ARGS", ""))
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        self.announce(f"building libpcbinspect in {build_dir}", level=2)
        subprocess.run(configure, check=True)
        subprocess.run([cmake, "--build", str(build_dir), "--config", "Release", "--target",
                        "pcbinspect", "--parallel", jobs], check=True)
        found = sorted(build_dir.glob(f"**/{name}"))
        if not found:
            raise SystemExit(f"pcbinspect: the build made no {name} under {build_dir}")
        # The tool's library needs the tool's dependencies (OpenCV, libpng,
        # libjpeg, libtiff, nlohmann-json, CLI11); without them the package still
        # works, but defects and photographs are not available.
        tool = subprocess.run([cmake, "--build", str(build_dir), "--config", "Release",
                               "--target", "pcbinspect_tool", "--parallel", jobs])
        tools = sorted(build_dir.glob(f"**/{tool_name}")) if tool.returncode == 0 else []
        if not tools:
            self.announce("pcbinspect: libpcbinspect_tool not built (the tool's dependencies "
                          "are missing): defects and photographs are not available", level=3)
        return found[0], (tools[0] if tools else None)


class Sdist(sdist):
    """A source distribution that builds on its own: it carries the C++ tree."""

    def make_release_tree(self, base_dir, files):
        super().make_release_tree(base_dir, files)
        root = source_root()
        for part in CXX_PARTS:
            src, dst = root / part, Path(base_dir) / SDIST_CXX / part
            dst.parent.mkdir(parents=True, exist_ok=True)
            if src.is_dir():
                shutil.copytree(src, dst, ignore=shutil.ignore_patterns("__pycache__"))
            else:
                shutil.copyfile(src, dst)


class BinaryDistribution(Distribution):
    """A distribution with a compiled part: a platform wheel, installed with
    the platform's libraries."""

    def has_ext_modules(self):
        return True


class BdistWheel(bdist_wheel):
    """Any Python 3 may load the library (with ctypes): the wheel is tagged
    for the platform alone."""

    def get_tag(self):
        return ("py3", "none", super().get_tag()[2])


setup(version=version(), packages=["pcbinspect"], distclass=BinaryDistribution,
      cmdclass={"build_py": BuildPy, "sdist": Sdist, "bdist_wheel": BdistWheel})
