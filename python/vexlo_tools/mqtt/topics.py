"""The topic tree: ``vexlo/<stand>/status``, ``vexlo/<stand>/<serial number>/{data,info,stats,event}``."""

from __future__ import annotations

import re
from typing import Optional, Tuple

ROOT = "vexlo"
#: What a stand name may hold: no MQTT wildcard or level separator, nothing a file name cannot carry.
_STAND = re.compile(r"[A-Za-z0-9._-]{1,64}")


def check_stand(name: str) -> str:
    """``name``, if it can name a stand in topics and file names.

    :raises ValueError: it cannot (the message says what can).
    """
    if not _STAND.fullmatch(name) or name in (".", ".."):
        raise ValueError(f"stand name {name!r}: use 1 to 64 letters, digits, '.', '_' or '-'")
    return name


def status(stand: str) -> str:
    return f"{ROOT}/{stand}/status"


def instrument(stand: str, serial: str, kind: str) -> str:
    """The topic of one instrument's ``data``, ``info``, ``stats`` or ``event`` (its last limit event, retained)."""
    return f"{ROOT}/{stand}/{serial}/{kind}"


def parse(topic: str) -> Optional[Tuple[str, str, str]]:
    """``(stand, serial, kind)`` of an instrument's topic, ``(stand, "", "status")``, or ``None``."""
    parts = topic.split("/")
    if len(parts) == 3 and parts[0] == ROOT and parts[2] == "status":
        return parts[1], "", "status"
    if len(parts) == 4 and parts[0] == ROOT and parts[3] in ("data", "info", "stats"):
        return parts[1], parts[2], parts[3]
    return None
