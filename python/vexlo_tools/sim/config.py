"""Simulated instruments described in a TOML file.

``vexlo sim --config FILE``, ``python -m vexlo_tools.sim --config FILE``
and the pytest fixtures read the same format (``examples/sim_bench.toml``
shows every key)::

    [[instrument]]
    model = "PLX310"
    item_number = "QMT31872"      # the Plus Prime edition
    serial_number = 20240001
    firmware = "4.3.2"

    [instrument.teds]              # a TEDS sensor (Plus Prime only)
    max_capacity = 1000.0

    [[instrument.profile]]         # profile 0; the others keep the default calibration
    number = 0
    capacity = 500.0
    sampling_rate = 38400

    [instrument.load]              # on channel 0 unless channel = N
    kind = "sine"
    amplitude = 50.0
    frequency = 2.0

    [instrument.faults]
    stream_garbage = 0.001

Loads are in the unit of the calibration of the profile selected on the
channel. Every error names the file and the key.
"""

from __future__ import annotations

import math
import os
import random
import tomllib
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple, TypeVar, Union

from ..models import MODELS, MODEL_NAMES, model_info
from .choices import FIRST_SERIAL_NUMBER, parse_firmware
from .instrument import Profile, SimulatedInstrument
from .signals import LOAD_KINDS, Signal, kind_keys, load_signal
from .teds import TedsSensor
from .units import profile_unit_code, teds_unit_code

__all__ = ["ConfigError", "load_config"]

PathLike = Union[str, "os.PathLike[str]"]
_T = TypeVar("_T")


class ConfigError(ValueError):
    """A configuration file that cannot be read or describes no valid instrument.

    :ivar path: the file.
    :ivar key: the dotted key at fault, e.g. ``instrument[1].profile[0].capacity`` (``""`` for the file).
    """

    def __init__(self, path: str, key: str, message: str) -> None:
        self.path, self.key = path, key
        super().__init__(f"{path}: {key}: {message}" if key else f"{path}: {message}")


class _Table:
    """One TOML table being read: typed access, the key path for errors, unknown keys refused."""

    def __init__(self, data: Mapping[str, Any], where: str, path: str) -> None:
        self.data, self.where, self.path = data, where, path
        self.used: set[str] = set()

    def key(self, key: str) -> str:
        return f"{self.where}.{key}" if self.where and key else self.where or key

    def error(self, key: str, message: str) -> ConfigError:
        return ConfigError(self.path, self.key(key), message)

    def has(self, key: str) -> bool:
        return key in self.data

    def get(self, key: str, kind: type, default: Any = None) -> Any:
        self.used.add(key)
        if key not in self.data:
            return default
        value = self.data[key]
        if kind is float and isinstance(value, int) and not isinstance(value, bool):
            value = float(value)
        if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
            raise self.error(key, f"must be {_KIND_NAMES[kind]}, got {value!r}")
        return value

    def numbers(self, key: str) -> List[float]:
        """An array of numbers (integers taken as floats)."""
        values = self.get(key, list, [])
        for index, value in enumerate(values):
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise self.error(f"{key}[{index}]", f"must be a number, got {value!r}")
        return [float(v) for v in values]

    def table(self, key: str) -> Optional["_Table"]:
        value = self.get(key, dict)
        return None if value is None else _Table(value, self.key(key), self.path)

    def tables(self, key: str) -> List["_Table"]:
        """An array of tables, or one table taken as an array of one."""
        self.used.add(key)
        value = self.data.get(key, [])
        if isinstance(value, dict):
            return [_Table(value, self.key(key), self.path)]
        if not isinstance(value, list) or not all(isinstance(v, dict) for v in value):
            raise self.error(key, "must be a table or an array of tables")
        return [_Table(v, f"{self.key(key)}[{i}]", self.path) for i, v in enumerate(value)]

    def done(self) -> None:
        unknown = sorted(set(self.data) - self.used)
        if unknown:
            raise self.error(unknown[0], "unknown key")

    def apply(self, key: str, action: Callable[[], _T]) -> _T:
        """Run ``action``; a ``ValueError`` it raises is reported at ``key``."""
        try:
            return action()
        except ConfigError:
            raise
        except ValueError as exc:
            raise self.error(key, str(exc)) from None


_KIND_NAMES = {int: "an integer", float: "a number", str: "a string", bool: "true or false",
               dict: "a table", list: "an array"}


def _load(table: _Table) -> Signal:
    """One ``[[instrument.load]]`` table: its kind and that kind's keys."""
    kind = table.get("kind", str, "constant")
    if kind not in LOAD_KINDS:
        raise table.error("kind", f"unknown load kind {kind!r}; choose from {', '.join(LOAD_KINDS)}")
    keys = kind_keys(kind)
    params: Dict[str, Any] = {}
    for key in table.data:
        if key in ("channel", "kind"):
            continue
        if key not in keys:
            raise table.error(key, f"a {kind} load has no {key!r}; its keys are {', '.join(keys)}")
        if key == "seed":
            params[key] = table.get(key, int)
        elif key == "loop":
            params[key] = table.get(key, bool)
        elif key == "file":
            # Relative to the bench file, as a user keeps them side by side.
            params[key] = os.path.join(os.path.dirname(table.path), table.get(key, str))
        elif key in ("times", "levels"):
            params[key] = table.numbers(key)
        else:
            params[key] = table.get(key, float)
    try:
        signal = load_signal(kind, **params)
    except ValueError as exc:
        # The shapes' messages begin with the key at fault ("frequency must be 50 or 60 ...").
        first = str(exc).split(" ", 1)[0]
        raise table.error(first if first in keys else "kind", str(exc)) from None
    table.done()
    return signal


def _build_profile(table: _Table, model: str, default: Profile) -> Profile:
    info = MODELS.get(model)
    if table.has("loads") or table.has("counts"):
        loads = table.get("loads", list, [])
        counts = table.get("counts", list, [])
        profile = table.apply("counts", lambda: Profile(
            loads=loads, counts=counts, direction_code=table.get("direction_code", int, 1)))
    else:
        two = table.get("two_directions", bool, True)
        profile = table.apply("capacity", lambda: Profile.linear(
            capacity=table.get("capacity", float, 1000.0),
            offset_count=table.get("offset_count", int, default.counts[0]),
            fullscale_count=table.get("fullscale_count", int, default.counts[default.points_per_direction - 1]),
            points_per_direction=table.get("points_per_direction", int, 2),
            two_directions=two))
    profile.sensor_serial_number = table.get("sensor_serial_number", int, default.sensor_serial_number)
    profile.unit_code = _unit(table, profile_unit_code, default.unit_code)
    profile.sampling_rate_code = table.get("sampling_rate_code", int, default.sampling_rate_code)
    if table.has("sampling_rate"):
        sps = table.get("sampling_rate", float)
        if info is None:
            raise table.error("sampling_rate", f"unknown model {model}: give sampling_rate_code instead")
        profile.sampling_rate_code = table.apply("sampling_rate", lambda: info.rate_code(sps))
    table.apply("", profile.__post_init__)  # re-checks the ranges
    return profile


def _unit(table: _Table, code_of: Callable[[str], int], default: int) -> int:
    """A unit given by name (``unit = "kN"``) or by code (``unit_code = 17``), not both."""
    if table.has("unit") and table.has("unit_code"):
        raise table.error("unit", "give unit or unit_code, not both")
    if table.has("unit"):
        name = table.get("unit", str)
        return table.apply("unit", lambda: code_of(name))
    code: int = table.get("unit_code", int, default)
    return code


def _count(table: _Table, key: str) -> Optional[int]:
    """A number of requests or answers, or ``"all"`` (also ``true``) for ``None``."""
    table.used.add(key)
    value = table.data[key]
    if value == "all" or value is True:
        return None
    if isinstance(value, int) and not isinstance(value, bool) and value >= 0:
        return value
    raise table.error(key, f"must be a count of 0 or more, or \"all\", got {value!r}")


def _apply_faults(table: _Table, instrument: SimulatedInstrument) -> None:
    def with_answers(key: str, main: str, kind: type, method: Callable[[Any, Optional[int]], None]) -> None:
        # `key = amount`, or `key = { main = amount, answers = n }`.
        value = table.data[key]
        sub = _Table(value if isinstance(value, dict) else {main: value}, table.key(key), table.path)
        amount = sub.get(main, kind, kind())
        answers = _count(sub, "answers") if sub.has("answers") else 1
        sub.done()
        table.apply(key, lambda: method(amount, answers))

    one_value: Dict[str, Tuple[type, Callable[[Any], None]]] = {
        "stream_garbage": (float, instrument.add_stream_garbage),
        "stall_stream": (float, instrument.stall_stream),
        "unplug_after": (int, instrument.unplug_after),
    }
    switches = {"stop_reading": instrument.stop_reading, "unplugged": instrument.unplug}
    for key in list(table.data):
        table.used.add(key)
        if key == "silent":
            instrument.go_silent(_count(table, key))
        elif key == "corrupt_checksums":
            instrument.corrupt_checksums(_count(table, key))
        elif key == "answer_short":
            with_answers(key, "length", int, instrument.answer_short)
        elif key == "answer_late":
            with_answers(key, "delay", float, instrument.answer_late)
        elif key == "stall_stream" and table.data[key] is True:
            instrument.stall_stream()  # until resumed
        elif key in one_value:
            kind, method = one_value[key]
            value = table.get(key, kind)
            table.apply(key, lambda: method(value))
        elif key in switches:
            if table.get(key, bool):
                switches[key]()
        else:
            raise table.error(key, "unknown fault; faults are silent, corrupt_checksums, answer_short, "
                                   "answer_late, stream_garbage, stop_reading, stall_stream, unplug_after, unplugged")


def _build_instrument(table: _Table, index: int) -> SimulatedInstrument:
    model = table.get("model", str)
    if model is None:
        raise table.error("model", f"missing; choose from {', '.join(MODEL_NAMES)}")
    model = table.apply("model", lambda: model_info(model).name)
    kwargs: Dict[str, Any] = {
        "item_number": table.get("item_number", str),
        "serial_number": table.get("serial_number", int, FIRST_SERIAL_NUMBER + index),
        "channel_count": table.get("channels", int, 2),
        "noise_counts": table.get("noise_counts", int, 0),
        "seed": table.get("seed", int, 0),
        "auto_teds": table.get("auto_teds", bool, False),
    }
    if table.has("firmware"):
        text = table.get("firmware", str)
        kwargs["firmware_version"] = table.apply("firmware", lambda: parse_firmware(text))
    teds = table.table("teds")
    if teds is not None:
        fields = {name: teds.get(name, type(default)) for name, default in vars(TedsSensor()).items()
                  if teds.has(name) and name != "unit_code"}
        fields["unit_code"] = _unit(teds, teds_unit_code, TedsSensor().unit_code)
        teds.done()
        sensor = TedsSensor(**fields)
        teds.apply("", sensor.image)  # every field in range
        kwargs["teds_sensor"] = sensor
    instrument = table.apply("model", lambda: SimulatedInstrument(model, **kwargs))
    if instrument.teds_sensor is not None and not instrument.teds_hardware:
        raise table.error("teds", f"{model} {instrument.item_number} has no TEDS hardware "
                                  "(only the PLX310 Plus Prime, item number QMT31872)")
    for profile_table in table.tables("profile"):
        number = profile_table.get("number", int, 0)
        if not 0 <= number < len(instrument.profiles):
            raise profile_table.error("number", f"must be 0 to {len(instrument.profiles) - 1}, got {number}")
        instrument.profiles[number] = _build_profile(profile_table, model, instrument.profiles[number])
        profile_table.done()
    for channel, profile in enumerate(table.get("selected_profiles", list, [])):
        table.apply("selected_profiles", lambda: instrument.select_profile(profile, channel))
    loads: Dict[int, Signal] = {}
    for load in table.tables("load"):
        channel = load.get("channel", int, 0)
        if not 0 <= channel < len(instrument.channels):
            raise load.error("channel", f"must be 0 to {len(instrument.channels) - 1}, got {channel}")
        signal = _load(load)
        # Several loads on one channel add up.
        loads[channel] = loads[channel] + signal if channel in loads else signal
    for channel, signal in loads.items():
        instrument.set_load_signal(signal, channel)
    faults = table.table("faults")
    if faults is not None:
        _apply_faults(faults, instrument)
    table.done()
    return instrument


def load_config(path: PathLike) -> Dict[str, SimulatedInstrument]:
    """Read the simulated instruments of a TOML file.

    :param path: the file.
    :return: port name -> instrument, in file order; an instrument's port
        is its ``port`` key, ``/dev/ttySIM0``, ``/dev/ttySIM1``, ... by
        default (pseudo-terminal servers use only the order).
    :raises ConfigError: the file cannot be read, is not TOML, or a key is
        missing, unknown or out of range (the message names file and key).
    """
    name = os.fspath(path)
    try:
        with open(name, "rb") as handle:
            data = tomllib.load(handle)
    except OSError as exc:
        raise ConfigError(name, "", f"cannot read: {exc.strerror or exc}") from None
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(name, "", f"not valid TOML: {exc}") from None
    root = _Table(data, "", name)
    tables = root.tables("instrument")
    root.done()
    if not tables:
        raise ConfigError(name, "instrument", "no [[instrument]] table: nothing to simulate")
    ports: Dict[str, SimulatedInstrument] = {}
    for index, table in enumerate(tables):
        port = table.get("port", str, f"/dev/ttySIM{index}")
        if port in ports:
            raise table.error("port", f"{port!r} is already used by another instrument")
        ports[port] = _build_instrument(table, index)
    return ports
