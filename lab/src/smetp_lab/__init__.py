"""smetp-lab: judges the results of smetp and smetp-batch."""
from importlib.metadata import PackageNotFoundError, version as _version

try:
    # The project's version (CMakeLists.txt), written into the package's metadata at install.
    __version__ = _version("smetp-lab")
except PackageNotFoundError:  # the sources on sys.path without an install
    __version__ = "unknown"
del PackageNotFoundError, _version
