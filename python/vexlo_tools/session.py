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
import time
from typing import Callable, Iterator, List, Optional, Sequence

import vexlo_device_communication as vexlo

from . import devices as _devices
from .acquisition import Acquisition, port_of
from .engine import Engine, Sink

__all__ = ["instruments", "run"]


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
        rate: Optional[float] = None, keep_rate: bool = False, seconds: Optional[float] = None,
        tick_seconds: float = 0.2, foreground: Optional[Callable[[], object]] = None,
        until: Optional[Callable[[], bool]] = None, pause: Callable[[float], None] = time.sleep,
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
    :param rate: channel 0's sampling rate to set on every instrument, in
        samples per second; put back at the end unless ``keep_rate``.
    :param tick_seconds: how often the sinks get the counters.
    :param foreground: run this (a terminal view) instead of waiting; the run ends when it returns.
    :param until: looked at while the run waits; once it returns true, the
        run ends as on Ctrl-C (the streams end as interrupted), but
        this function returns (``serve`` restarts it so).
    :param pause: how the run waits between two looks (a test's virtual clock).
    :param note: told what the user should know (see :func:`instruments`; a rate not put back).
    :return: whether Ctrl-C ended the run.
    :raises vexlo_tools.devices.NoInstrumentError: nothing found.
    :raises vexlo.VexloInvalidParameterError: an instrument lacks ``rate`` (nothing was set).
    :raises vexlo.VexloDeviceError: an instrument failed (after the others
        ran to their end and every sink was closed), naming it.
    """
    asked = [False]

    def wait(seconds: float) -> None:
        if until is not None and until():
            asked[0] = True
            raise KeyboardInterrupt  # the engine ends the run as on Ctrl-C
        pause(seconds)

    with contextlib.nullcontext(list(devices)) if devices is not None else \
            instruments(ports, models, first_only=first_only, note=note) as streamed:
        acquisition = Acquisition(streamed, rate=rate, seconds=seconds)
        with _rates_put_back(streamed, note) if rate is not None and not keep_rate else contextlib.nullcontext():
            try:
                acquisition.start()
            except ValueError as error:  # a rate an instrument lacks; nothing was set
                raise vexlo.VexloInvalidParameterError(str(error)) from error
            interrupted = Engine(acquisition, sinks, tick_seconds=tick_seconds).run(pause=wait, foreground=foreground)
    return interrupted and not asked[0]


@contextlib.contextmanager
def _rates_put_back(devices: Sequence[vexlo.VexloDevice], note: Callable[[str], None]) -> Iterator[None]:
    """Put channel 0's rate of every device back at the end, also after an error or Ctrl-C."""
    codes = [device.get_sampling_rate(0) for device in devices]
    try:
        yield
    finally:
        for device, code in zip(devices, codes):
            try:
                device.set_sampling_rate_value(code, 0)
            except vexlo.VexloDeviceError as error:
                note(f"vexlo: could not put the rate of {port_of(device)} back (code {code}): {error}")
