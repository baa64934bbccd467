"""The distribution's version, the one place the toolkit reads it: fixed
when the wheel was built (`_version.py`, written by the build from
pyproject.toml, which also compiles it into the extension as
`kx5180.__version__`), so that reading it loads neither the extension nor
the package metadata."""

from __future__ import annotations


def version() -> str:
    try:
        from ._version import VERSION
    except ImportError:  # a source tree that no build has installed
        from importlib.metadata import PackageNotFoundError
        from importlib.metadata import version as installed

        try:
            return installed("kx5180")
        except PackageNotFoundError:
            return "unknown (not installed)"
    return VERSION
