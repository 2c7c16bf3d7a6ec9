"""The topic tree: ``vexlo/<stand>/status``, ``vexlo/<stand>/<serial number>/{data,info,stats,event}``."""

from __future__ import annotations

import re

ROOT = "vexlo"
#: What a stand's or an instrument's level may hold: no MQTT wildcard or level separator, nothing a
#: file name cannot carry.
NAME = re.compile(r"[A-Za-z0-9._-]{1,64}")


def check_stand(name: str, what: str = "stand name") -> str:
    """``name``, if it can name a stand (or an instrument: ``what``) in topics and file names.

    :raises ValueError: it cannot (the message says what can).
    """
    if not NAME.fullmatch(name) or name in (".", ".."):
        shown = name[:80] + ("..." if len(name) > 80 else "")
        raise ValueError(f"{what} {shown!r}: use 1 to 64 letters, digits, '.', '_' or '-'")
    return name


def status(stand: str) -> str:
    return f"{ROOT}/{stand}/status"


def instrument(stand: str, serial: str, kind: str) -> str:
    """The topic of one instrument's ``data``, ``info``, ``stats`` or ``event`` (its last limit event, retained)."""
    return f"{ROOT}/{stand}/{serial}/{kind}"
