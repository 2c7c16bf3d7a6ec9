"""What the command line shows, kept light.

``vexlo COMMAND --help`` and ``python -m vexlo_tools.sim --help`` show the
simulator's instrument kinds and options, the broker's password variable,
the publisher's spool and drain defaults and the page's viewer limit. They
are defined here, not in the modules that use them (the simulator, the
broker's connection, the publisher, the page: numpy, paho, the web stack),
so that help loads none of those; those modules import them from here.
"""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .sim.choices import InstrumentChoice

#: What ``--instrument MODEL[:OPTIONS]`` accepts as MODEL; each names the
#: :class:`~vexlo_tools.sim.SimulatedInstrument` class method of the same
#: name with ``_`` for ``-``.
INSTRUMENT_KINDS = ("plx310-plus-prime", "plx310", "mvr420", "dta530", "hsk640")
INSTRUMENT_OPTIONS = "options load=, noise=, serial=, firmware=A.B.C, teds=on|off, auto-teds=on|off"

#: Environment variable read for the broker's password when none is given (keeps it off the command line).
PASSWORD_VARIABLE = "VEXLO_MQTT_PASSWORD"
#: Viewers the live page serves at once unless told otherwise.
MAX_VIEWERS = 20
#: The most disk a stand's spool takes unless told otherwise, in MB (10^6 bytes).
SPOOL_MB = 512
#: How long closing a publisher waits for the broker to acknowledge what is still in the spool.
DRAIN_SECONDS = 30.0


def instrument(text: str) -> InstrumentChoice:
    """``MODEL[:OPTIONS]`` as an argument type; the simulator is loaded only when one is given.

    :raises argparse.ArgumentTypeError: an unknown kind or option, or a bad value.
    """
    from .sim.choices import parse_instrument

    return parse_instrument(text)


def add_sim_arguments(parser: argparse.ArgumentParser, *, verbose_option: bool = True) -> None:
    """Add the simulator's serving options to ``parser`` (``verbose_option=False`` where a parent parser has ``-v``)."""
    parser.add_argument(
        "instruments", nargs="*", metavar="INSTRUMENT", type=instrument,
        help="instruments to simulate, one port each, as MODEL[:OPTIONS]: " + ", ".join(INSTRUMENT_KINDS)
             + "; " + INSTRUMENT_OPTIONS + ", clock-error=PPM "
               "(default: a plx310-plus-prime with a TEDS sensor and an mvr420)")
    parser.add_argument("--config", metavar="FILE", action="append", default=[],
                        help="also serve the instruments described in the TOML file FILE (repeatable)")
    parser.add_argument("--replay", metavar="RECORDING", action="append", default=[],
                        help="also serve the instruments of a recording (.h5 or .csv, as vexlo record writes them), "
                             "streaming the recorded values again at the recorded times (repeatable)")
    parser.add_argument("--loop", action="store_true", help="with --replay: start over at the end, rather than stop")
    parser.add_argument("--load", type=float, help="load on channel 0 of every instrument without its own load=")
    parser.add_argument("--noise", type=int, metavar="COUNTS",
                        help="reading noise, +- counts (256 to one ADC step), where not given per instrument")
    parser.add_argument("--no-teds", action="store_true", help="no TEDS sensor on a Plus Prime without teds=")
    parser.add_argument("--any-baud", action="store_true", help="answer at any baud rate, not only the model's")
    parser.add_argument("--link", metavar="PREFIX", help="also create symlinks PREFIX0, PREFIX1, ... to the ports")
    parser.add_argument("--force", action="store_true",
                        help="with --link: take over links already at the names (another server's, or stale ones); "
                             "files that are not links are never touched")
    if verbose_option:
        parser.add_argument("-v", "--verbose", action="count", default=0, help="log requests (-vv for debug)")
