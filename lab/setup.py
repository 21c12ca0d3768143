"""smetp-lab's version is the project's: the one in ../CMakeLists.txt."""
import pathlib
import re

from setuptools import setup

_cmake = pathlib.Path(__file__).resolve().parent.parent / "CMakeLists.txt"
_found = re.search(r"project\(smetp VERSION ([0-9][0-9.]*)", _cmake.read_text())
if _found is None:
    raise SystemExit(f"smetp-lab: no project version in {_cmake}")
setup(version=_found.group(1))
