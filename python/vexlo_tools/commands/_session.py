"""The run every streaming command shares: instruments found, streamed through the engine into sinks, ended cleanly."""

from __future__ import annotations

import argparse
import contextlib
from typing import Callable, Iterator, List, Optional, Sequence

import vexlo_device_communication as vexlo

from ..acquisition import Acquisition
from ..engine import Engine, Sink
from . import _common


def ports_of(args: argparse.Namespace) -> Optional[List[str]]:
    """The ports ``--port`` names (given once or repeated), or ``None`` for every port."""
    port = getattr(args, "port", None)
    if not port:
        return None
    return [port] if isinstance(port, str) else list(port)


def check_options(args: argparse.Namespace) -> None:
    """Refuse bad ``--seconds`` and ``--rate`` before anything is probed or written.

    :raises _common.CliError: naming the option.
    """
    _common.check_positive(getattr(args, "seconds", None), "--seconds")
    _common.check_positive(getattr(args, "rate", None), "--rate")


@contextlib.contextmanager
def instruments(args: argparse.Namespace, *, first_only: bool = False) -> Iterator[List[vexlo.VexloDevice]]:
    """The open instruments the common options name, closed when the block ends.

    With AutoTEDS on, an instrument's values come in its sensor's unit.

    :param first_only: keep the first instrument found (when no port is
        named) and close the others.
    :raises _common.CliError: nothing found (the message says where it looked).
    """
    ports = ports_of(args)
    devices, failures = _common.discover(getattr(args, "model", None), ports)
    if not devices:
        raise _common.CliError(_common.not_found_message(ports, failures))
    if first_only and not ports and len(devices) > 1:
        for other in devices[1:]:
            other.disconnect()
        _common.note(f"using the instrument on {_common.port_of(devices[0])}; also found on "
                     + ", ".join(_common.port_of(o) for o in devices[1:]) + " (choose one with --port)")
        devices = devices[:1]
    with contextlib.ExitStack() as stack:
        for device in devices:
            stack.enter_context(device)
        for device in devices:
            _common.load_auto_teds(device)
        yield devices


def run_sinks(args: argparse.Namespace, sinks: Sequence[Sink], *, first_only: bool = False,
              tick_seconds: float = 0.2, until: Optional[Callable[[], bool]] = None) -> int:
    """Stream the instruments the common options name into ``sinks`` for ``--seconds`` of data or until Ctrl-C.

    Options read from ``args`` when present: ``--port`` (one or a list),
    ``--model``, ``--rate``, ``--seconds`` (of data: each instrument ends
    after exactly that many seconds of its samples). Ctrl-C (and SIGTERM,
    which the tool turns into it) ends the run cleanly: streaming off, the
    sinks handed what came until then and closed.

    :param until: looked at while the run waits: once it returns true, the
        run ends as on Ctrl-C, but returns (``vexlo serve`` restarts it so).
    :return: 0; a run cut short by Ctrl-C raises ``KeyboardInterrupt`` once
        everything is closed (open-ended runs end normally on it).
    :raises _common.CliError: nothing found, or a rate an instrument lacks.
    :raises vexlo.VexloDeviceError: an instrument failed (after the others
        ran to their end and every sink was closed), naming it.
    """
    check_options(args)
    seconds: Optional[float] = getattr(args, "seconds", None)
    with instruments(args, first_only=first_only) as devices:
        try:
            acquisition = Acquisition(devices, rate=getattr(args, "rate", None), seconds=seconds)
        except ValueError as error:
            raise _common.CliError(str(error)) from error
        def pause(seconds: float) -> None:
            if until is not None and until():
                raise KeyboardInterrupt  # the engine ends the run as on Ctrl-C
            # The command's sleep, so that tests can step a virtual clock while it waits.
            _common.sleep(seconds)

        try:
            interrupted = Engine(acquisition, sinks, tick_seconds=tick_seconds).run(pause=pause)
        except ValueError as error:  # a rate an instrument lacks; nothing was set
            raise _common.CliError(str(error)) from error
    if interrupted and seconds is not None and not (until is not None and until()):
        raise KeyboardInterrupt  # cut short: everything is closed, the exit status says so
    return 0
