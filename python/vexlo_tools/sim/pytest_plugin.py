"""pytest fixtures for simulated Vexlo instruments in users' test suites.

Installed with the package and loaded by pytest on its own (entry point
``pytest11``). Fixtures:

- ``vexlo_sim_ports``: the test's instruments on in-process ports (inside a
  :func:`~vexlo_tools.sim.simulated_ports` block, so ``serial.Serial`` opens
  them and discovery finds them); a mapping of port name to instrument,
  with the ``clock`` they stream by.
- ``vexlo_sim_pty``: the test's instruments on pseudo-terminals (a running
  :class:`~vexlo_tools.sim.PtyServer`: ``paths``, ``ports``), for real pyserial.
- ``vexlo_sim_instruments``: the test's instruments, in port order.
- ``vexlo_sim_clock``: a :class:`~vexlo_tools.sim.VirtualClock`; when a
  test asks for it, ``vexlo_sim_ports`` streams by it.

The marker ``@pytest.mark.vexlo_sim(*instruments, config=None)`` chooses
the instruments: :class:`~vexlo_tools.sim.SimulatedInstrument` objects or
``MODEL[:options]`` texts as the command line takes them, and/or a TOML
configuration file (a path relative to the test file). Without it a test
gets one PLX310 Plus Prime with a TEDS sensor. In-process ports are named
``/dev/ttySIM0``, ``/dev/ttySIM1``, ... (a configuration file may name
them).

Nothing heavy happens at load: the simulator is imported when a fixture
is first used, and the extension module never.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Dict, Iterator, List

import pytest

if TYPE_CHECKING:
    from . import PtyServer, SimulatedInstrument, SimulatedPorts, VirtualClock

MARKER = "vexlo_sim"
PORT_PREFIX = "/dev/ttySIM"


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        f"{MARKER}(*instruments, config=None): the simulated Vexlo instruments of the vexlo_sim_* fixtures "
        "(SimulatedInstrument objects, MODEL[:options] texts, and/or a TOML file)")


def _instruments_of(request: pytest.FixtureRequest) -> Dict[str, "SimulatedInstrument"]:
    from . import SimulatedInstrument, load_config
    from .choices import parse_instrument

    marker = request.node.get_closest_marker(MARKER)
    args: List[Any] = list(marker.args) if marker else []
    kwargs: Dict[str, Any] = dict(marker.kwargs) if marker else {}
    config = kwargs.pop("config", None)
    if kwargs:
        raise pytest.UsageError(f"@pytest.mark.{MARKER}: unknown argument {sorted(kwargs)[0]!r} (only config=)")
    ports: Dict[str, SimulatedInstrument] = {}
    if config is not None:
        path = os.path.join(os.path.dirname(str(request.node.path)), os.fspath(config))
        ports.update(load_config(path))
    if not args and config is None:
        args = [SimulatedInstrument.plx310_plus_prime()]
    for index, item in enumerate(args, start=len(ports)):
        if isinstance(item, str):
            item = parse_instrument(item).build(index)
        if not isinstance(item, SimulatedInstrument):
            raise pytest.UsageError(f"@pytest.mark.{MARKER}: {item!r} is neither a SimulatedInstrument "
                                    "nor a MODEL[:options] text")
        ports[f"{PORT_PREFIX}{index}"] = item
    return ports


@pytest.fixture
def _vexlo_sim_ports_by_name(request: pytest.FixtureRequest) -> Dict[str, "SimulatedInstrument"]:
    return _instruments_of(request)


@pytest.fixture
def vexlo_sim_instruments(_vexlo_sim_ports_by_name: Dict[str, "SimulatedInstrument"]) -> List["SimulatedInstrument"]:
    """The test's simulated instruments, in port order (see the ``vexlo_sim`` marker)."""
    return list(_vexlo_sim_ports_by_name.values())


@pytest.fixture
def vexlo_sim_clock() -> "VirtualClock":
    """A clock that moves only when told (``advance``); ``vexlo_sim_ports`` streams by it when requested."""
    from . import VirtualClock

    return VirtualClock()


@pytest.fixture
def vexlo_sim_ports(request: pytest.FixtureRequest,
                    _vexlo_sim_ports_by_name: Dict[str, "SimulatedInstrument"]) -> Iterator["SimulatedPorts"]:
    """The test's instruments on in-process ports, for the test's duration."""
    from . import simulated_ports

    clock = request.getfixturevalue("vexlo_sim_clock") if "vexlo_sim_clock" in request.fixturenames else None
    with simulated_ports(_vexlo_sim_ports_by_name, clock=clock) as ports:
        yield ports


@pytest.fixture
def vexlo_sim_pty(_vexlo_sim_ports_by_name: Dict[str, "SimulatedInstrument"]) -> Iterator["PtyServer"]:
    """The test's instruments on pseudo-terminals, served for the test's duration."""
    from .pty_server import HAVE_PSEUDO_TERMINALS, PtyServer

    if not HAVE_PSEUDO_TERMINALS:
        pytest.skip("pseudo-terminals are not available on this system")

    server = PtyServer(list(_vexlo_sim_ports_by_name.values()))
    server.start()
    try:
        yield server
    finally:
        server.stop()
