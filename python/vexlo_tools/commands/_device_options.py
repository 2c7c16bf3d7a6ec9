"""Options that pick the instruments a command works on and how long and fast it runs them, and their checks."""

import argparse
import math
from typing import Optional

from .. import models
from ._console import CliError

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


def add_keep_rate(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--keep-rate", action="store_true",
                        help="leave the rate --rate sets on the instruments (default: put the rate back at the end)")


def add_run(parser: argparse.ArgumentParser, verb: str) -> None:
    """The options of a run of the instruments found (``record``, ``publish``): ``--seconds``, ``--rate``,
    ``--keep-rate``, ``--port`` (repeatable) and ``--model``; ``verb`` says what the run does with the data."""
    parser.add_argument("--seconds", type=float, metavar="S",
                        help=f"{verb} S seconds of data per instrument (default: until Ctrl-C)")
    parser.add_argument("--rate", type=float, metavar="SPS",
                        help="stream at SPS samples per second, e.g. 38400")
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
