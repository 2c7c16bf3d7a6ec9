"""The run every streaming command shares: instruments found, streamed through the engine into sinks, ended cleanly."""

from __future__ import annotations

import argparse
import contextlib
from typing import Callable, Iterator, List, Optional, Sequence

import vexlo_device_communication as vexlo

from ..acquisition import Acquisition, port_of
from ..engine import Engine, Sink
from . import _clock, _console, _device_options, _instruments, _teds


def check_options(args: argparse.Namespace) -> None:
    """Refuse bad ``--seconds`` and ``--rate`` before anything is probed or written.

    :raises _console.CliError: naming the option.
    """
    _device_options.check_positive(getattr(args, "seconds", None), "--seconds")
    for choice in _device_options.rate_choices(getattr(args, "rate", None)):
        _device_options.check_positive(choice.samples_per_second, "--rate")


@contextlib.contextmanager
def instruments(args: argparse.Namespace, *, first_only: bool = False) -> Iterator[List[vexlo.VexloDevice]]:
    """The open instruments the common options name, closed when the block ends.

    With AutoTEDS on, an instrument's values come in its sensor's unit.

    :param first_only: keep the first instrument found and close the others.
    :raises _console.CliError: nothing found (the message says where it looked).
    """
    with _instruments.devices_found(args, first_only=first_only) as devices:
        for device in devices:
            _teds.load_auto_teds(device)
        yield devices


def run_sinks(args: argparse.Namespace, sinks: Sequence[Sink], *, first_only: bool = False,
              tick_seconds: float = 0.2, foreground: Optional[Callable[[], object]] = None,
              until: Optional[Callable[[], bool]] = None) -> int:
    """Stream the instruments the common options name into ``sinks`` for ``--seconds`` of data or until Ctrl-C.

    Options read from ``args`` when present: ``--port`` (one or a list),
    ``--model``, ``--rate`` (one number, or :class:`_device_options.RateChoice` items for every instrument,
    a model's or one serial number's; put back at the end unless ``--keep-rate``),
    ``--seconds`` (of data: each instrument ends after exactly that many
    seconds of its samples). Ctrl-C (and SIGTERM, which the tool turns into
    it) ends the run cleanly: streaming off, the sinks handed what came
    until then and closed. So does a sink that fails (a full disk), at once,
    so that a run whose output is gone does not stream on unwritten.

    :param first_only: with no port named, stream from the first instrument found only.
    :param foreground: run this (a terminal view) instead of waiting; the run ends when it returns.
    :param until: looked at while the run waits: once it returns true, the
        run ends as on Ctrl-C, but returns (``vexlo serve`` restarts it so).
    :return: 0; a run cut short by Ctrl-C raises ``KeyboardInterrupt`` once
        everything is closed (open-ended runs end normally on it).
    :raises _console.CliError: nothing found, or a rate an instrument lacks.
    :raises vexlo.VexloDeviceError: an instrument failed (after the others
        ran to their end and every sink was closed), naming it.
    """
    check_options(args)
    seconds: Optional[float] = getattr(args, "seconds", None)
    with instruments(args, first_only=first_only) as devices:
        rates = _device_options.rates_for(getattr(args, "rate", None), devices)
        acquisition = Acquisition(devices, rate=rates, seconds=seconds)
        engine = Engine(acquisition, sinks, tick_seconds=tick_seconds)
        restore = rates is not None and not getattr(args, "keep_rate", False)

        def pause(seconds: float) -> None:
            if until is not None and until():
                raise KeyboardInterrupt  # the engine ends the run as on Ctrl-C
            # The command's sleep, so that tests can step a virtual clock while it waits.
            _clock.sleep(seconds)

        with _rates_put_back(devices) if restore else contextlib.nullcontext():
            try:
                interrupted = engine.run(pause=pause, foreground=foreground)
            except ValueError as error:  # a rate an instrument lacks; nothing was set
                raise _console.CliError(str(error)) from error
    if interrupted and seconds is not None and foreground is None and not (until is not None and until()):
        raise KeyboardInterrupt  # cut short: everything is closed, the exit status says so
    return 0


@contextlib.contextmanager
def _rates_put_back(devices: Sequence[vexlo.VexloDevice]) -> Iterator[None]:
    """Put channel 0's rate of every device back at the end, also after an error or Ctrl-C."""
    codes = [device.get_sampling_rate(0) for device in devices]
    names = [f"{device.get_model_number()} {device.get_instrument_serial_number()} on {port_of(device)}"
             for device in devices]
    try:
        yield
    finally:
        for device, name, code in zip(devices, names, codes):
            try:
                device.set_sampling_rate_value(code, 0)
            except vexlo.VexloDeviceError as error:
                _console.note(f"vexlo: could not put the rate of {name} back "
                              f"(code {code}): {_instruments.plain(error)}")
