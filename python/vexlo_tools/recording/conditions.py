"""Conditions on a stream's samples (``value > 250``) and where a stream crosses them.

A condition is read by a small grammar, never evaluated as code::

    FIELD OP LEVEL [hysteresis H]

``FIELD`` is ``value`` (the calibrated values) or ``adc`` (the raw counts),
``OP`` is ``>`` or ``<``, ``LEVEL`` and ``H`` are decimal numbers (``H`` at
least 0). A stream *crosses* ``value > 250`` where a sample is above 250
after one at or below 250 - H: a level already reached when the run starts
is no crossing, and after a crossing the stream must fall back to 250 - H
before it can cross again, so noise around the level gives one crossing,
not hundreds.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import Any, List, Optional

import numpy as np
import numpy.typing as npt

__all__ = ["Condition", "Crossings", "MAX_CONDITION"]

#: The longest condition text accepted.
MAX_CONDITION = 200
_FIELDS = ("value", "adc")
_SHAPE = re.compile(r"\s*(\S+?)\s*([<>=!]+)\s*(\S+)(?:\s+(\S+)\s+(\S+))?\s*\Z", re.ASCII)
_NUMBER = re.compile(r"[+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d{1,3})?\Z", re.ASCII)
_GRAMMAR = "a condition reads FIELD > LEVEL or FIELD < LEVEL, FIELD value or adc, optionally followed by hysteresis H"


def _number(text: str, what: str, condition: str) -> float:
    if not _NUMBER.match(text):
        raise ValueError(f"condition {condition!r}: {what} {text[:40]!r} is not a decimal number")
    number = float(text)
    if not math.isfinite(number):
        raise ValueError(f"condition {condition!r}: {what} {text[:40]!r} is not a finite number")
    return number


@dataclass(frozen=True)
class Condition:
    """``field op level``, crossed with a hysteresis (see the module's description).

    :ivar field: ``"value"`` or ``"adc"``.
    :ivar op: ``">"`` or ``"<"``.
    :ivar level: the level crossed.
    :ivar hysteresis: how far back the stream must go before it can cross again.
    """

    field: str
    op: str
    level: float
    hysteresis: float = 0.0

    @classmethod
    def parse(cls, text: str) -> "Condition":
        """Read a condition (see the module's description).

        :raises ValueError: anything else, with what is wrong.
        """
        if not isinstance(text, str):
            raise ValueError(f"a condition is text, not {type(text).__name__}")
        shown = text[:60]
        if len(text) > MAX_CONDITION:
            raise ValueError(f"condition {shown!r}...: longer than {MAX_CONDITION} characters")
        if not text.strip():
            raise ValueError(f"an empty condition; {_GRAMMAR}")
        if not text.isascii() or not text.isprintable():
            raise ValueError(f"condition {shown!r}: a character other than letters, digits, signs and spaces")
        found = _SHAPE.match(text)
        if found is None:
            raise ValueError(f"condition {shown!r}: {_GRAMMAR}")
        field, op, level, word, hysteresis = found.groups()
        if field not in _FIELDS:
            raise ValueError(f"condition {shown!r}: a condition is on value or adc, not {field[:40]!r}")
        if op not in (">", "<"):
            raise ValueError(f"condition {shown!r}: the comparison is > or <, not {op!r}")
        if word is not None and word != "hysteresis":
            raise ValueError(f"condition {shown!r}: after the level only 'hysteresis H' may follow, not {word[:40]!r}")
        condition = cls(field, op, _number(level, "the level", text),
                        0.0 if hysteresis is None else _number(hysteresis, "the hysteresis", text))
        if condition.hysteresis < 0:
            raise ValueError(f"condition {shown!r}: the hysteresis is at least 0")
        return condition

    def __str__(self) -> str:
        return f"{self.field} {self.op} {self.level:g}" + (f" hysteresis {self.hysteresis:g}" if self.hysteresis else "")


class Crossings:
    """Finds where one stream crosses a condition, block after block (the state carries over).

    :param condition: the condition (or its text).
    """

    def __init__(self, condition: "Condition | str") -> None:
        self.condition = condition if isinstance(condition, Condition) else Condition.parse(condition)
        #: Whether the stream has been on the near side of the level (so that it can cross it).
        self.armed = False

    def find(self, value: npt.NDArray[np.float64], adc: Optional[npt.NDArray[np.uint32]] = None) -> List[int]:
        """The positions in a block where the stream crosses, in order.

        :param value: the block's values.
        :param adc: the block's counts (for a condition on ``adc``).
        """
        c = self.condition
        samples: npt.NDArray[Any] = value if c.field == "value" or adc is None else adc
        crossed = (samples > c.level) if c.op == ">" else (samples < c.level)
        found: List[int] = []
        back: Optional[npt.NDArray[np.bool_]] = None
        at, length = 0, len(samples)
        while at < length:
            if self.armed:
                first = _first(crossed, at)
                if first < 0:
                    break
                found.append(first)
                self.armed, at = False, first + 1
            else:
                if back is None:
                    back = (samples <= c.level - c.hysteresis) if c.op == ">" else (samples >= c.level + c.hysteresis)
                first = _first(back, at)
                if first < 0:
                    break
                self.armed, at = True, first
        return found


def _first(mask: npt.NDArray[np.bool_], start: int) -> int:
    """The first true position from ``start`` on, or -1."""
    rest = mask[start:]
    position = int(rest.argmax()) if len(rest) else 0
    return start + position if len(rest) and rest[position] else -1
