"""Streaming from the instruments a command names: found, started, stopped and closed."""

from __future__ import annotations

import contextlib
from typing import Iterator, Optional, Sequence

from ..acquisition import Acquisition
from ..devices import find_devices
from . import _common


@contextlib.contextmanager
def acquiring(ports: Optional[Sequence[str]], models: Optional[Sequence[str]],
              rate: Optional[float]) -> Iterator[Acquisition]:
    """An :class:`~vexlo_tools.Acquisition` of the instruments found, running inside the block.

    Streaming is switched off and the ports are closed when the block ends, on error or Ctrl-C too.

    :raises CliError: nothing found, or a rate the instruments cannot do.
    """
    devices = find_devices(list(ports) if ports else None, list(models) if models else None)
    if not devices:
        raise _common.CliError("no instruments found" + (" on " + ", ".join(ports) if ports else ""))
    with contextlib.ExitStack() as stack:
        for device in devices:
            stack.enter_context(device)
        for device in devices:
            # As vexlo read and stream do: values in the sensor's unit when AutoTEDS is on.
            _common.load_auto_teds(device)
        acquisition = Acquisition(devices, rate=rate)
        try:
            stack.enter_context(acquisition)
        except ValueError as error:  # a rate an instrument lacks; nothing was set
            raise _common.CliError(str(error)) from error
        yield acquisition
