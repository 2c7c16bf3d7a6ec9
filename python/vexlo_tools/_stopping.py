"""Switching an instrument's streaming off without losing the samples still due, and checking it answers again."""

from __future__ import annotations

import logging
from typing import Tuple

import vexlo_device_communication as vexlo

from . import _lowlevel
from .devices import drain

logger = logging.getLogger("vexlo_tools.acquisition")

#: Tries of the streaming-off setting written directly, before the module's own exchange
#: (which clears the input first, losing the samples in it).
STOP_ATTEMPTS = 2
#: Tries of the query after stopping, when stream bytes still arriving garble its answer.
CHECK_ATTEMPTS = 3


def ask_to_stop(device: vexlo.VexloDevice, quiet: float) -> Tuple[bytes, bool]:
    """Send the streaming-off setting and read until the line is quiet.

    The instrument sends the packets still due, then its answer; packets
    held up on the way may still come after the answer. The exchange of
    the module would clear the input first and lose those packets, so the
    setting is written directly.

    :param quiet: seconds of silence that end the stream (the acquisition's ``quiet_seconds``).
    :return: the bytes read, and whether it ended cleanly: the line fell
        quiet and held a valid answer, which is then cut out of the bytes.
    """
    if not _lowlevel.write_stream_off(device):
        return b"", False
    received, fell_quiet = drain(device.get_stream_data, quiet)
    rest = _lowlevel.cut_stream_off_answer(received) if fell_quiet else None
    if rest is None:
        return received, False
    return rest, True


def drain_quiet(device: vexlo.VexloDevice, quiet: float) -> bytes:
    """Read stream bytes until the line is quiet; return them.

    :raises vexlo.VexloCommunicationError: it did not fall quiet in time.
    """
    received, fell_quiet = drain(device.get_stream_data, quiet)
    if not fell_quiet:
        raise vexlo.VexloCommunicationError("still streaming after streaming was switched off")
    return received


def check_answers(device: vexlo.VexloDevice, quiet: float) -> None:
    """Check that the instrument answers a query, so the link is usable again.

    Stream bytes that arrive late garble the answer (a bad checksum, a
    short answer): the line is drained and the query asked again, up to
    :data:`CHECK_ATTEMPTS` times. No answer at all is not retried here (the
    module has retried it already).

    :raises vexlo.VexloDeviceError: the last try failed, or the line did
        not fall quiet in between.
    """
    for attempt in range(1, CHECK_ATTEMPTS + 1):
        try:
            device.get_sampling_rate(0)
            return
        except vexlo.VexloTimeoutError:
            raise
        except (vexlo.VexloProtocolError, vexlo.VexloCommunicationError) as error:
            if attempt == CHECK_ATTEMPTS:
                raise
            logger.debug("answer after streaming off garbled (try %d of %d): %s", attempt, CHECK_ATTEMPTS, error)
            drain_quiet(device, quiet)
