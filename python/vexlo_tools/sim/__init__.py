"""Simulated Vexlo instruments, for development and tests without hardware.

- :class:`SimulatedInstrument`: one instrument (model, profiles,
  calibration, TEDS sensor, streaming, faults on demand).
- :func:`simulated_ports` / :class:`SimulatedSerial`: instruments on named
  ports inside the current process, in place of ``serial.Serial``.
- :class:`PtyServer`: instruments on Linux pseudo-terminals, for real
  pyserial; ``python -m vexlo_tools.sim`` runs one from the shell.
- :func:`load_config`: instruments described in a TOML file.
- :func:`load_signal`: loads that change with time (ramps, sines, noise,
  drift, mains hum, steps, a CSV file), added with ``+``.
- :func:`replay_instruments`: instruments that stream a recording again.
- ``vexlo_tools.sim.pytest_plugin``: pytest fixtures and a marker for
  users' test suites (loaded by pytest on its own once installed).
"""

from .config import ConfigError, load_config
from .instrument import (
    BAUD_RATES,
    MAX_STREAM_BACKLOG,
    PLUS_PRIME_ITEM_NUMBER,
    SAMPLING_RATES,
    Channel,
    Faults,
    LoggedRequest,
    Profile,
    SimulatedInstrument,
    sampling_rates_for,
)
from .protocol import COMMANDS, COMMANDS_BY_NAME, CommandInfo, build_request, build_response, checksum, stream_packet
from .pty_server import PtyServer
from .replay import replay_instruments
from .signals import LOAD_KINDS, Replay, Signal, load_signal
from .teds import RawTedsSensor, TedsSensor
from .transport import INPUT_BUFFER_SIZE, SimulatedPorts, SimulatedSerial, VirtualClock, simulated_ports

__all__ = [
    "BAUD_RATES",
    "COMMANDS",
    "COMMANDS_BY_NAME",
    "Channel",
    "CommandInfo",
    "ConfigError",
    "Faults",
    "INPUT_BUFFER_SIZE",
    "LOAD_KINDS",
    "LoggedRequest",
    "MAX_STREAM_BACKLOG",
    "PLUS_PRIME_ITEM_NUMBER",
    "Profile",
    "PtyServer",
    "RawTedsSensor",
    "Replay",
    "SAMPLING_RATES",
    "SimulatedInstrument",
    "SimulatedPorts",
    "Signal",
    "SimulatedSerial",
    "TedsSensor",
    "VirtualClock",
    "build_request",
    "build_response",
    "checksum",
    "load_config",
    "load_signal",
    "replay_instruments",
    "sampling_rates_for",
    "simulated_ports",
    "stream_packet",
]
