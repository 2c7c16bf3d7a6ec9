"""One session run: instruments found, streamed through the engine into sinks, ended cleanly.

What every streaming command (``vexlo record``, ``stream``, ``monitor``,
``publish``, ``serve``), ``vexlo demo`` and :func:`vexlo_tools.web.serve`
share::

    from vexlo_tools import session
    from vexlo_tools.recording import RecordingSink

    session.run([RecordingSink("run.h5")], ports=["/dev/ttyUSB0"], seconds=10.0)
"""

from __future__ import annotations

import contextlib
import math
from typing import Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import vexlo_device_communication as vexlo

from . import devices as _devices
from . import models as _models
from .acquisition import Acquisition, port_of
from .engine import Engine, Sink

__all__ = ["Rates", "instruments", "rates_for", "run"]

#: Rates to set: one for every instrument (samples per second), or (target, rate) pairs whose target is a
#: model name, a serial number (as text), or ``None`` for every instrument not named otherwise.
Rates = Union[None, float, Sequence[Tuple[Optional[str], float]]]


@contextlib.contextmanager
def instruments(ports: Optional[Sequence[str]] = None, models: Optional[Sequence[str]] = None, *,
                first_only: bool = False, auto_teds: bool = True,
                note: Callable[[str], None] = _devices._warn) -> Iterator[List[vexlo.VexloDevice]]:
    """The instruments found on ``ports`` (default: every port the system lists), open, closed when the block ends.

    :param models: only instruments of these models.
    :param first_only: keep the first instrument found and close the others (``note`` says which).
    :param auto_teds: where an instrument's AutoTEDS switch is on, load its sensor's calibration,
        so that its values come in the sensor's unit.
    :param note: told what the user should know (the instrument chosen, a rate not put back).
    :raises vexlo_tools.devices.NoInstrumentError: nothing found; the message says where it looked.
    """
    found, failures = _devices.discover(models or None, ports or None)
    if not found:
        raise _devices.NoInstrumentError(_devices.not_found_message(ports, failures))
    if first_only and len(found) > 1:
        for other in found[1:]:
            other.disconnect()
        note(f"using the instrument on {port_of(found[0])}; also found on "
             + ", ".join(port_of(o) for o in found[1:]) + " (choose one with --port)")
        found = found[:1]
    with contextlib.ExitStack() as stack:
        for device in found:
            stack.enter_context(device)
        if auto_teds:
            for device in found:
                _devices.load_auto_teds(device, note)
        yield found


def run(sinks: Sequence[Sink], *, devices: Optional[Sequence[vexlo.VexloDevice]] = None,
        ports: Optional[Sequence[str]] = None, models: Optional[Sequence[str]] = None, first_only: bool = False,
        rate: Rates = None, keep_rate: bool = False, seconds: Optional[float] = None,
        tick_seconds: float = 0.2, foreground: Optional[Callable[[], object]] = None,
        until: Optional[Callable[[], bool]] = None, pause: Optional[Callable[[float], None]] = None,
        note: Callable[[str], None] = _devices._warn) -> bool:
    """Stream instruments into ``sinks`` for ``seconds`` of data, until Ctrl-C, or until ``until``.

    Each instrument ends after exactly ``seconds`` of its samples (without:
    at Ctrl-C). Ctrl-C (and SIGTERM, where the program turns it into
    Ctrl-C) ends the run cleanly: streaming off, the sinks handed what came
    until then, every stream's end and closed. So does a sink that fails
    (a full disk), at once, so that a run whose output is gone does not
    stream on unwritten.

    :param devices: open instruments to stream (the caller keeps them);
        else the instruments found on ``ports`` (default: every port) of
        ``models``, with AutoTEDS loaded (see :func:`instruments`),
        opened and closed here.
    :param first_only: with instruments found here, stream from the first only.
    :param rate: channel 0's sampling rate to set, in samples per second:
        one for every instrument, or per model or serial number (see
        :data:`Rates` and :func:`rates_for`); put back at the end unless ``keep_rate``.
    :param tick_seconds: how often the sinks get the counters.
    :param foreground: run this (a terminal view) instead of waiting; the run ends when it returns.
    :param until: looked at while the run waits; once it returns true, the
        run ends as on Ctrl-C (the streams end as interrupted), but
        this function returns (``serve`` restarts it so).
    :param pause: how the run waits between two looks (a test's virtual clock); by default
        it waits on the run's end, looking at ``until`` a few times a second.
    :param note: told what the user should know (see :func:`instruments`; a rate not put back).
    :return: whether Ctrl-C ended the run.
    :raises vexlo_tools.devices.NoInstrumentError: nothing found.
    :raises vexlo.VexloInvalidParameterError: an instrument lacks its rate, or a
        target names no instrument found (nothing was set).
    :raises vexlo.VexloDeviceError: an instrument failed (after the others
        ran to their end and every sink was closed), naming it.
    """
    asked = [False]

    def ended() -> bool:
        asked[0] = until is not None and until()
        return asked[0]

    with contextlib.nullcontext(list(devices)) if devices is not None else \
            instruments(ports, models, first_only=first_only, note=note) as streamed:
        rates = rates_for(rate, streamed)
        acquisition = Acquisition(streamed, rate=rates, seconds=seconds)
        with _rates_put_back(streamed, note) if rates is not None and not keep_rate else contextlib.nullcontext():
            try:
                acquisition.start()
            except ValueError as error:  # a rate an instrument lacks; nothing was set
                raise vexlo.VexloInvalidParameterError(str(error)) from error
            interrupted = Engine(acquisition, sinks, tick_seconds=tick_seconds).run(
                pause=pause, foreground=foreground, until=None if until is None else ended)
    return interrupted and not asked[0]


def rates_for(rate: Rates, devices: Sequence[vexlo.VexloDevice]) -> Optional[List[Optional[float]]]:
    """Each device's rate (``None`` where none applies), or ``None`` when ``rate`` is.

    A serial number's rate comes before a model's, which comes before the one for every instrument.

    :raises vexlo.VexloInvalidParameterError: a target names no instrument found or is given twice, or
        an instrument lacks its rate (the message names the instrument and its rates); nothing is set.
    :raises ValueError: a rate that is not a finite number above 0.
    """
    if rate is None:
        return None
    choices = [(None, float(rate))] if isinstance(rate, (int, float)) else list(rate)
    by_target: Dict[Optional[str], float] = {}
    for target, sps in choices:
        if not (math.isfinite(sps) and sps > 0):
            raise ValueError(f"a rate must be a finite number of samples per second above 0, not {sps}")
        if target in by_target:
            raise vexlo.VexloInvalidParameterError(
                f"--rate {target}= is given twice" if target else "--rate SPS is given twice")
        by_target[target] = float(sps)
    identities = [(device.get_model_number(), str(device.get_instrument_serial_number()),
                   device.communication_interface.get_item_number()) for device in devices]
    for target in by_target:
        if target is not None and not any(target in (model, serial) for model, serial, _ in identities):
            found = ", ".join(f"{model} {serial}" for model, serial, _ in identities)
            raise vexlo.VexloInvalidParameterError(f"--rate {target}=: no such instrument among those found ({found})")
    resolved: List[Optional[float]] = []
    for device, (model, serial, item) in zip(devices, identities):
        chosen = by_target.get(serial, by_target.get(model, by_target.get(None)))
        if chosen is not None:
            try:
                _models.model_info(model).rate_code(chosen, item)
            except ValueError as error:
                raise vexlo.VexloInvalidParameterError(
                    f"{model} {serial} on {port_of(device)}: {error} "
                    f"(a rate of its own: --rate {model}=SPS or --rate {serial}=SPS)") from error
        resolved.append(chosen)
    return resolved


@contextlib.contextmanager
def _rates_put_back(devices: Sequence[vexlo.VexloDevice], note: Callable[[str], None]) -> Iterator[None]:
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
                note(f"vexlo: could not put the rate of {name} back (code {code}): {_devices.plain(error)}")
