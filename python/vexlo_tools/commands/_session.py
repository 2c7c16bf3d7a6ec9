"""The streaming commands' run: :func:`vexlo_tools.session.run` with the common options."""

from __future__ import annotations

import argparse
from typing import Callable, Optional, Sequence

from .. import session
from ..engine import Sink
from . import _clock, _console, _device_options, _instruments


def check_options(args: argparse.Namespace) -> None:
    """Refuse bad ``--seconds`` and ``--rate`` before anything is probed or written.

    :raises _console.CliError: naming the option.
    """
    _device_options.check_positive(getattr(args, "seconds", None), "--seconds")
    for choice in _device_options.rate_choices(getattr(args, "rate", None)):
        _device_options.check_positive(choice.samples_per_second, "--rate")


def run_sinks(args: argparse.Namespace, sinks: Sequence[Sink], *, first_only: bool = False,
              tick_seconds: float = 0.2, foreground: Optional[Callable[[], object]] = None,
              until: Optional[Callable[[], bool]] = None) -> int:
    """:func:`vexlo_tools.session.run` with the common options: ``--port`` (one or a list), ``--model``,
    ``--rate`` (one number, or :class:`_device_options.RateChoice` items: for every instrument, a model's or
    one serial number's; put back at the end unless ``--keep-rate``), ``--seconds``, where present.

    :return: 0; a finite run cut short by Ctrl-C raises ``KeyboardInterrupt`` once
        everything is closed (open-ended runs end normally on it).
    :raises vexlo.VexloInvalidParameterError: a rate an instrument lacks, or one for no instrument found.
    :raises vexlo_tools.devices.NoInstrumentError: nothing found (the message says where it looked).
    :raises vexlo.VexloDeviceError: an instrument failed, naming it.
    """
    check_options(args)
    seconds: Optional[float] = getattr(args, "seconds", None)
    interrupted = session.run(sinks, ports=_instruments.port_list(args), models=getattr(args, "model", None),
                              first_only=first_only, rate=getattr(args, "rate", None),
                              keep_rate=getattr(args, "keep_rate", False), seconds=seconds,
                              tick_seconds=tick_seconds, foreground=foreground, until=until,
                              pause=_clock.run_pause(), note=_console.note)
    if interrupted and seconds is not None and foreground is None:
        raise KeyboardInterrupt  # cut short: everything is closed, the exit status says so
    return 0
