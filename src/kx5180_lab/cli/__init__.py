"""The `kx5180` command line."""

from .program import main

__all__ = ["main"]
