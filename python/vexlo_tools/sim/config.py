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
from typing import Any, Callable, Container, Dict, List, Mapping, Optional, Tuple, TypeVar, Union

from ..models import MODELS, MODEL_NAMES, model_info
from .choices import FIRST_SERIAL_NUMBER, parse_firmware
from .instrument import (MAX_CHANNELS, MAX_NOISE_COUNTS, MAX_POINTS_PER_DIRECTION, UNIT_CODES, Profile,
                         SimulatedInstrument)
from .signals import LOAD_KINDS, Signal, kind_keys, load_signal
from .teds import TedsSensor
from .replay import replay_instruments
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
        value: Any = self.data[key]
        if kind is float and isinstance(value, int) and not isinstance(value, bool):
            value = float(value)
        if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
            raise self.error(key, f"must be {_KIND_NAMES[kind]}, got {_shown(value)}")
        if isinstance(value, float) and not math.isfinite(value):
            raise self.error(key, f"must be a finite number, got {value!r}")
        return value

    def integer(self, key: str, low: int, high: int, default: int) -> int:
        """An integer from ``low`` to ``high`` (the command line's range where it has the same option)."""
        value: int = self.get(key, int, default)
        if not low <= value <= high:
            raise self.error(key, f"must lie between {low} and {high}, got {value}")
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

    def named_error(self, exc: Exception, fallback: str, keys: Mapping[str, str]) -> ConfigError:
        """``exc`` reported at the key its message begins with ("frequency must be ..."), mapped by ``keys``."""
        first = str(exc).split(" ", 1)[0]
        key = keys.get(first)
        return self.error(key if key is not None else fallback, str(exc))

    def apply(self, key: str, action: Callable[[], _T]) -> _T:
        """Run ``action``; a ``ValueError`` it raises is reported at ``key``."""
        try:
            return action()
        except ConfigError:
            raise
        except (ValueError, TypeError, OverflowError) as exc:
            raise self.error(key, str(exc)) from None


def _shown(value: Any) -> str:
    """A value as an error message shows it: a long one cut short."""
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


_KIND_NAMES = {int: "an integer", float: "a number", str: "a string", bool: "true or false",
               dict: "a table", list: "an array"}


#: Limits no real bench meets, so that a hostile file cannot exhaust memory:
#: the file's size and the instruments in it (channels and loading points
#: have the instrument's own limits, one byte on the wire each).
MAX_FILE_BYTES = 4 * 1024 * 1024
MAX_INSTRUMENTS = 256
_U32 = 0xFFFFFFFF


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
        raise table.named_error(exc, "kind", {key: key for key in keys}) from None
    table.done()
    return signal


def _build_profile(table: _Table, model: str, default: Profile) -> Profile:
    info = MODELS.get(model)
    if table.has("loads") or table.has("counts"):
        loads = table.numbers("loads")
        counts = table.get("counts", list, [])
        for index, count in enumerate(counts):
            if isinstance(count, bool) or not isinstance(count, int) or not 0 <= count <= _U32:
                raise table.error(f"counts[{index}]", f"must be a count from 0 to {_U32}, got {_shown(count)}")
        direction_code = table.integer("direction_code", 0, 255, 1)
        profile = table.apply("counts", lambda: Profile(loads=loads, counts=counts, direction_code=direction_code))
    else:
        two = table.get("two_directions", bool, True)
        capacity = table.get("capacity", float, 1000.0)
        if not capacity > 0:
            raise table.error("capacity", f"must be more than 0, got {capacity}")
        offset = table.integer("offset_count", 0, _U32, default.counts[0])
        fullscale = table.integer("fullscale_count", 0, _U32, default.counts[default.points_per_direction - 1])
        points = table.integer("points_per_direction", 2, MAX_POINTS_PER_DIRECTION, 2)
        profile = table.apply("capacity", lambda: Profile.linear(
            capacity=capacity, offset_count=offset, fullscale_count=fullscale,
            points_per_direction=points, two_directions=two))
    profile.sensor_serial_number = table.integer("sensor_serial_number", 0, _U32, default.sensor_serial_number)
    profile.unit_code = _unit(table, profile_unit_code, default.unit_code, UNIT_CODES)
    rates = len(info.rates) if info is not None else 256
    profile.sampling_rate_code = table.integer("sampling_rate_code", 0, rates - 1, default.sampling_rate_code)
    if table.has("sampling_rate"):
        sps = table.get("sampling_rate", float)
        if info is None:
            raise table.error("sampling_rate", f"unknown model {model}: give sampling_rate_code instead")
        profile.sampling_rate_code = table.apply("sampling_rate", lambda: info.rate_code(sps))
    table.apply("", profile.__post_init__)  # re-checks the ranges
    return profile


def _unit(table: _Table, code_of: Callable[[str], int], default: int, valid: Container[int]) -> int:
    """A unit given by name (``unit = "kN"``) or by a code in ``valid`` (``unit_code = 17``), not both."""
    if table.has("unit") and table.has("unit_code"):
        raise table.error("unit", "give unit or unit_code, not both")
    if table.has("unit"):
        name = table.get("unit", str)
        return table.apply("unit", lambda: code_of(name))
    code: int = table.get("unit_code", int, default)
    if code not in valid:
        raise table.error("unit_code", f"{code} is not a unit code; give a unit by name, e.g. unit = \"N\"")
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
        "ignore_stream_off": (int, instrument.ignore_stream_off),
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
                                   "answer_late, stream_garbage, stop_reading, stall_stream, unplug_after, "
                                   "ignore_stream_off, unplugged")


# The instrument's parameters by the bench file's keys.
_PARAMETER_KEYS = {"item_number": "item_number", "serial_number": "serial_number", "channel_count": "channels",
                   "noise_counts": "noise_counts", "t0": "t0", "clock_error_ppm": "clock_error_ppm"}


def _build_instrument(table: _Table, index: int) -> SimulatedInstrument:
    # What a replayed instrument takes too; the rest comes from its recording.
    common: Dict[str, Any] = {
        "noise_counts": table.integer("noise_counts", 0, MAX_NOISE_COUNTS, 0),
        "seed": table.integer("seed", 0, 2**64 - 1, 0),
        "t0": table.get("t0", float, 0.0),
        "clock_error_ppm": table.get("clock_error_ppm", float, 0.0),
    }
    try:
        SimulatedInstrument(**common)  # the instrument's own checks, reported at their keys
    except ValueError as exc:
        raise table.named_error(exc, "model", _PARAMETER_KEYS) from None
    instrument = _replayed(table, common) if table.has("replay") else _described(table, index, common)
    faults = table.table("faults")
    if faults is not None:
        _apply_faults(faults, instrument)
    table.done()
    return instrument


def _replayed(table: _Table, options: Dict[str, Any]) -> SimulatedInstrument:
    """An instrument that replays a recording (``replay = "run.h5"``, ``recorded = "SERIAL"``, ``loop``)."""
    for key in _FROM_THE_RECORDING:
        if table.has(key):
            raise table.error(key, "comes from the recording of a replayed instrument")
    path = os.path.join(os.path.dirname(table.path), table.get("replay", str))
    loop = table.get("loop", bool, False)
    recorded = table.get("recorded", str)
    try:
        instruments = replay_instruments(path, loop=loop, **options)
    except (ValueError, OSError, ImportError) as exc:
        raise table.error("replay", str(exc)) from None
    if recorded is None and len(instruments) > 1:
        raise table.error("recorded", f"missing: the recording holds {', '.join(instruments)}; say which")
    if recorded is not None and recorded not in instruments:
        raise table.error("recorded", f"no {recorded!r} in the recording; it holds {', '.join(instruments)}")
    return instruments[recorded] if recorded is not None else next(iter(instruments.values()))


_FROM_THE_RECORDING = ("model", "item_number", "serial_number", "firmware", "channels", "auto_teds", "teds",
                       "profile", "selected_profiles", "load")


def _described(table: _Table, index: int, common: Dict[str, Any]) -> SimulatedInstrument:
    """An instrument described key by key."""
    model = table.get("model", str)
    if model is None:
        raise table.error("model", f"missing; choose from {', '.join(MODEL_NAMES)}")
    model = table.apply("model", lambda: model_info(model).name)
    kwargs: Dict[str, Any] = {
        **common,
        "item_number": table.get("item_number", str),
        "serial_number": table.integer("serial_number", 0, _U32, FIRST_SERIAL_NUMBER + index),
        "channel_count": table.integer("channels", 1, MAX_CHANNELS, 2),
        "auto_teds": table.get("auto_teds", bool, False),
    }
    if table.has("firmware"):
        text = table.get("firmware", str)
        kwargs["firmware_version"] = table.apply("firmware", lambda: parse_firmware(text))
    teds = table.table("teds")
    if teds is not None:
        fields = {name: teds.get(name, type(default)) for name, default in vars(TedsSensor()).items()
                  if teds.has(name) and name != "unit_code"}
        fields["unit_code"] = _unit(teds, teds_unit_code, TedsSensor().unit_code, range(64))
        teds.done()
        sensor = TedsSensor(**fields)
        teds.apply("", sensor.image)  # every field in range
        kwargs["teds_sensor"] = sensor
    try:
        instrument = SimulatedInstrument(model, **kwargs)
    except ValueError as exc:
        raise table.named_error(exc, "model", _PARAMETER_KEYS) from None
    if instrument.teds_sensor is not None and not instrument.teds_hardware:
        raise table.error("teds", f"{model} {instrument.item_number} has no TEDS hardware "
                                  "(only the PLX310 Plus Prime, item number QMT31872)")
    for profile_table in table.tables("profile"):
        number = profile_table.get("number", int, 0)
        if not 0 <= number < len(instrument.profiles):
            raise profile_table.error("number", f"must be 0 to {len(instrument.profiles) - 1}, got {number}")
        instrument.profiles[number] = _build_profile(profile_table, model, instrument.profiles[number])
        profile_table.done()
    selected = table.get("selected_profiles", list, [])
    if len(selected) > len(instrument.channels):
        raise table.error("selected_profiles", f"{len(selected)} profiles for {len(instrument.channels)} channels")
    for channel, profile in enumerate(selected):
        if isinstance(profile, bool) or not isinstance(profile, int):
            raise table.error(f"selected_profiles[{channel}]", f"must be a profile number, got {_shown(profile)}")
        table.apply(f"selected_profiles[{channel}]", lambda: instrument.select_profile(profile, channel))
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
        # The selected profile must turn a load into a count (its fullscale load is not 0).
        table.apply("load", lambda: instrument.profile_for_channel(channel).exact_count(0.0))
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
            raw = handle.read(MAX_FILE_BYTES + 1)
    except OSError as exc:
        raise ConfigError(name, "", f"cannot read: {exc.strerror or exc}") from None
    if len(raw) > MAX_FILE_BYTES:
        raise ConfigError(name, "", f"larger than {MAX_FILE_BYTES} bytes: not a bench file")
    try:
        data = tomllib.loads(raw.decode("utf-8"))
    except UnicodeDecodeError as exc:
        raise ConfigError(name, "", f"not valid TOML: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    except RecursionError:
        raise ConfigError(name, "", "not valid TOML here: nested too deeply") from None
    except (tomllib.TOMLDecodeError, ValueError) as exc:
        # ValueError: a number beyond what Python converts (thousands of digits).
        raise ConfigError(name, "", f"not valid TOML: {exc}") from None
    root = _Table(data, "", name)
    tables = root.tables("instrument")
    root.done()
    if not tables:
        raise ConfigError(name, "instrument", "no [[instrument]] table: nothing to simulate")
    if len(tables) > MAX_INSTRUMENTS:
        raise ConfigError(name, "instrument", f"{len(tables)} instruments: at most {MAX_INSTRUMENTS}")
    ports: Dict[str, SimulatedInstrument] = {}
    for index, table in enumerate(tables):
        port = table.get("port", str, f"/dev/ttySIM{index}")
        if port in ports:
            raise table.error("port", f"{port!r} is already used by another instrument")
        ports[port] = _build_instrument(table, index)
    return ports
