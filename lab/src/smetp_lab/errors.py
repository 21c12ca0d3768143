"""The error that ends a subcommand with one line, kept apart from the
modules that need numpy so that the command line can report even a failure
to load the libraries."""
from __future__ import annotations


class LabError(Exception):
    """An error that ends a subcommand with one line on standard error."""

    def __init__(self, where: str, reason: str):
        super().__init__(f"{where}: {reason}" if where else reason)
