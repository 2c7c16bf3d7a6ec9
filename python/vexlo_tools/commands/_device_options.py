"""Options that pick the instruments a command works on and how long and fast it runs them, and their checks."""

from __future__ import annotations

import argparse
import math
from typing import TYPE_CHECKING, List, NamedTuple, Optional

from .. import models
from ._console import CliError

if TYPE_CHECKING:
    from ..session import Rates

MODELS = models.MODEL_NAMES


def model_name(text: str) -> str:
    """A model named on the command line, in any case; unknown names are usage errors."""
    try:
        return models.model_info(text).name
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def add_model(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--model", action="append", metavar="M", type=model_name,
                        help="probe only at the baud rates of model M (" + ", ".join(MODELS)
                             + "), which shortens discovery; repeatable")


def add(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--port", action="append", metavar="P",
                        help="the instrument on port P (default: the first one found); repeatable, the first "
                             "instrument found on them is used")
    add_model(parser)


class RateChoice(NamedTuple):
    """One ``--rate``: SPS for every instrument (``target`` ``None``), or for a model's or one serial number's."""

    target: Optional[str]
    samples_per_second: float


def rate_choice(text: str) -> RateChoice:
    """``SPS``, ``MODEL=SPS`` or ``SERIAL=SPS``, as ``--rate`` takes them; malformed ones are usage errors."""
    target, sep, number = text.rpartition("=")
    if sep:
        target = target.strip()
        if target.isdigit():
            target = str(int(target))
        else:
            target = model_name(target)
    try:
        sps = float(number)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: expected SPS, MODEL=SPS or SERIAL=SPS, "
                                         "e.g. 38400 or PLX310=38400") from None
    return RateChoice(target if sep else None, sps)


def add_rate(parser: argparse.ArgumentParser, help: str = "stream at SPS samples per second") -> None:
    parser.add_argument("--rate", action="append", type=rate_choice, metavar="[MODEL=|SERIAL=]SPS",
                        help=f"{help}: every instrument's rate, or with MODEL= or SERIAL= the rate of a model's "
                             "instruments or of one instrument; repeatable, e.g. --rate PLX310=38400 --rate MVR420=500")


def rate_choices(rates: Rates) -> List[RateChoice]:
    """The ``--rate`` options as choices (one number is the choice for every instrument)."""
    if rates is None:
        return []
    if isinstance(rates, (int, float)):
        return [RateChoice(None, float(rates))]
    return [RateChoice(*choice) for choice in rates]


def add_keep_rate(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--keep-rate", action="store_true",
                        help="leave the rate --rate sets on the instruments (default: put the rate back at the end)")


def add_run(parser: argparse.ArgumentParser, verb: str) -> None:
    """The options of a run of the instruments found (``record``, ``publish``): ``--seconds``, ``--rate``,
    ``--keep-rate``, ``--port`` (repeatable) and ``--model``; ``verb`` says what the run does with the data."""
    parser.add_argument("--seconds", type=float, metavar="S",
                        help=f"{verb} S seconds of data per instrument (default: until Ctrl-C)")
    add_rate(parser)
    add_keep_rate(parser)
    parser.add_argument("--port", action="append", metavar="P", help="the instrument on port P; repeatable")
    add_model(parser)


def check_positive(value: Optional[float], option: str) -> None:
    """Refuse an option's number that is not finite and above 0 (``inf``, ``nan``, ``0``).

    :raises CliError: naming the option.
    """
    if value is not None and not (math.isfinite(value) and value > 0):
        raise CliError(f"{option} must be more than 0" + ("" if math.isfinite(value) or value <= 0
                                                           else " and finite"))
