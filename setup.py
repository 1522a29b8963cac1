"""Builds the Python package sonvar through the project's CMake build.

The extension module and the pure-Python modules come from the CMake target
sonvar_python; this script only drives CMake and copies the package into the
wheel, so nothing is downloaded.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

TOP = Path(__file__).resolve().parent


class CMakeBuild(build_py):
    def run(self):
        build = TOP / "build" / "pip"
        subprocess.run(["cmake", "-S", str(TOP), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        "-DSONVAR_PYTHON=ON", "-DSONVAR_BENCH=OFF",
                        f"-DPython3_EXECUTABLE={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "sonvar_python", "-j",
                        str(os.cpu_count() or 1)], check=True)
        target = Path(self.build_lib) / "sonvar"
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(build / "python" / "sonvar", target,
                        ignore=shutil.ignore_patterns("__pycache__"))


class BinaryDistribution(Distribution):
    def has_ext_modules(self):
        return True  # the package holds a compiled module: platform wheel


setup(cmdclass={"build_py": CMakeBuild}, distclass=BinaryDistribution, packages=["sonvar"],
      package_dir={"sonvar": "python/sonvar"})
