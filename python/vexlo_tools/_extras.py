"""The distribution: its version, and the optional dependencies its extras install (h5py, matplotlib, textual)."""

from __future__ import annotations

import importlib
from types import ModuleType

DISTRIBUTION = "vexlo-device-communication"


class MissingExtraError(ImportError):
    """A feature needs a library that an extra of the distribution installs."""


def require(module: str, extra: str, feature: str) -> ModuleType:
    """Import ``module``, or say which extra brings it.

    :param module: the module to import, e.g. ``"h5py"``.
    :param extra: the extra of the distribution that installs it, e.g. ``"hdf5"``.
    :param feature: what needs it, for the message, e.g. ``"writing .h5 files"``.
    :return: the imported module.
    :raises MissingExtraError: the module cannot be imported.
    """
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise MissingExtraError(
            f"{feature} needs {module}, which is not installed; "
            f"install the extra: pip install '{DISTRIBUTION}[{extra}]'") from error


def software_version() -> str:
    """The version of the distribution ("unknown" when run from a source tree that was never built)."""
    try:
        from ._version import VERSION  # written by the build: no metadata to search

        return VERSION
    except ImportError:
        pass
    from importlib import metadata  # tens of milliseconds: only when the build wrote no version

    try:
        return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return "unknown"
