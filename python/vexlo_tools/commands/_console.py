"""What a command prints: its output, its notes on standard error, and the one-line error it ends with."""

from __future__ import annotations

import sys


class CliError(Exception):
    """An expected failure: printed as one line, exit status 1."""


def out(text: str = "") -> None:
    print(text, file=sys.stdout, flush=True)


def note(text: str) -> None:
    print(text, file=sys.stderr, flush=True)
