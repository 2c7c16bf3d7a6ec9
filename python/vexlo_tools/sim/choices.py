"""Simulated instruments named on a command line: ``MODEL[:options]`` choices.

A choice names a preset and optionally shapes it, options separated by
commas or colons::

    plx310-plus-prime
    mvr420:load=12.5,noise=768
    plx310-plus-prime:teds=off:auto-teds=on

Options: ``load`` (load on channel 0's sensor), ``noise`` (+- counts on
every reading, 256 to one ADC step), ``serial`` (instrument serial number),
``firmware`` (``A.B.C``), ``teds`` (``on`` or ``off``: a TEDS sensor on a
Plus Prime), ``auto-teds`` (``on`` or ``off``: the AutoTEDS switch of a
Plus Prime) and ``clock-error`` (the rate error of the instrument's clock,
in parts per million).

A Plus Prime with a TEDS sensor measures as such an instrument does in
the field, as ``SimulatedInstrument.plx310_plus_prime()`` does: profile 0
holds the electrical calibration (0 to the sensor's rated output, in mV/V)
and the TEDS data sheet turns mV/V into the sensor's unit, so ``load`` is
given in that unit (N) and reads as mV/V until AutoTEDS is on. Other
instruments read ``load`` in the unit of profile 0's calibration (N).
"""

from __future__ import annotations

import argparse
import math
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Sequence, Tuple

from .._options import INSTRUMENT_KINDS
from .instrument import MAX_NOISE_COUNTS, UNIT_MVV, SimulatedInstrument, calibrate_electrically

__all__ = [
    "DEFAULT_INSTRUMENTS",
    "InstrumentChoice",
    "PRESETS",
    "UNIT_MVV",
    "build_instruments",
    "calibrate_electrically",
    "choices_or_default",
    "parse_instrument",
    "sensor_output",
    "set_sensor_load",
]

PRESETS: Dict[str, Callable[..., SimulatedInstrument]] = {
    kind: getattr(SimulatedInstrument, kind.replace("-", "_")) for kind in INSTRUMENT_KINDS
}

#: What is served when no instrument is named.
DEFAULT_INSTRUMENTS = ("plx310-plus-prime:load=250", "mvr420:load=12.5")

#: Serial number of the first instrument built; the others count up from it.
FIRST_SERIAL_NUMBER = 20240001

_OPTIONS = ("load", "noise", "serial", "firmware", "teds", "auto-teds", "clock-error")
_SWITCH = {"on": True, "off": False, "yes": True, "no": False, "1": True, "0": False}


@dataclass(frozen=True)
class InstrumentChoice:
    """A preset and its options, as parsed from ``MODEL[:options]``."""

    preset: str
    options: Tuple[Tuple[str, str], ...] = field(default=())

    def with_options(self, options: Mapping[str, str], *, override: bool = False) -> "InstrumentChoice":
        """This choice with ``options`` added: as defaults, or (``override``) replacing its own."""
        merged = {**dict(self.options), **options} if override else {**options, **dict(self.options)}
        return InstrumentChoice(self.preset, tuple(merged.items()))

    @property
    def has_teds_hardware(self) -> bool:
        return self.preset == "plx310-plus-prime"

    def build(self, index: int = 0) -> SimulatedInstrument:
        """The instrument this choice describes; ``index`` gives it a distinct default serial number.

        :raises ValueError: an option's value is out of range or malformed.
        """
        opts = dict(self.options)
        kwargs: Dict[str, Any] = {"serial_number": FIRST_SERIAL_NUMBER + index}
        if "serial" in opts:
            kwargs["serial_number"] = _int(opts["serial"], "serial", 0, 0xFFFFFFFF)
        if "noise" in opts:
            kwargs["noise_counts"] = _int(opts["noise"], "noise", 0, MAX_NOISE_COUNTS,
                                          " counts (± on every reading; one ADC step is 256)")
        if "firmware" in opts:
            kwargs["firmware_version"] = parse_firmware(opts["firmware"])
        if "clock-error" in opts:
            kwargs["clock_error_ppm"] = _number(opts["clock-error"], "clock-error")
        if self.has_teds_hardware:
            kwargs["with_teds"] = _switch(opts.get("teds", "on"), "teds")
        elif "teds" in opts or "auto-teds" in opts:
            raise ValueError(f"{self.preset} has no TEDS hardware (only plx310-plus-prime has)")
        instrument = PRESETS[self.preset](**kwargs)  # a Plus Prime with its sensor is calibrated in mV/V
        if "auto-teds" in opts:
            instrument.auto_teds = _switch(opts["auto-teds"], "auto-teds")
        if "load" in opts:
            set_sensor_load(instrument, _number(opts["load"], "load"))
        return instrument


def sensor_output(instrument: SimulatedInstrument, load: float) -> float:
    """What the instrument measures for ``load`` on its sensor: mV/V behind a TEDS sensor, else the load."""
    sensor = instrument.teds_sensor
    if sensor is None:
        return load
    return load * sensor.max_electrical / sensor.max_capacity


def set_sensor_load(instrument: SimulatedInstrument, load: float) -> None:
    """Put ``load`` (in the sensor's unit) on channel 0's sensor."""
    instrument.set_load(sensor_output(instrument, load))


def parse_firmware(text: str) -> Tuple[int, int, int]:
    """``"4.3.2"`` -> ``(4, 3, 2)``.

    :raises ValueError: not three integers from 0 to 255 joined by dots.
    """
    parts = text.split(".")
    if len(parts) != 3:
        raise ValueError(f"firmware must be A.B.C, got {text!r}")
    major, minor, patch = (_int(p, "firmware", 0, 255) for p in parts)
    return major, minor, patch


def _int(text: str, name: str, low: int, high: int, unit: str = "") -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise ValueError(f"{name} must be a whole number{' of' + unit if unit else ''}, got {text!r}") from None
    if not low <= value <= high:
        raise ValueError(f"{name} must lie between {low} and {high}{unit}, got {value}")
    return value


def _number(text: str, name: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"{name} must be a number, got {text!r}") from None
    if not math.isfinite(value):
        raise ValueError(f"{name} must be a finite number, got {text!r}")
    return value


def _switch(text: str, name: str) -> bool:
    try:
        return _SWITCH[text.lower()]
    except KeyError:
        raise ValueError(f"{name} must be on or off, got {text!r}") from None


def parse_instrument(text: str) -> InstrumentChoice:
    """Parse ``MODEL[:options]``; raises ``argparse.ArgumentTypeError`` with a readable message."""
    head, _, rest = text.partition(":")
    preset = head.strip().lower().replace("_", "-")
    if preset not in PRESETS:
        raise argparse.ArgumentTypeError(f"unknown instrument {head!r}; choose from {', '.join(PRESETS)}")
    options = []
    for item in rest.replace(":", ",").split(","):
        if not item.strip():
            continue
        key, sep, value = item.partition("=")
        key = key.strip().lower().replace("_", "-")
        if not sep or key not in _OPTIONS:
            raise argparse.ArgumentTypeError(
                f"bad option {item!r} in {text!r}; options are {', '.join(k + '=...' for k in _OPTIONS)}")
        options.append((key, value.strip()))
    choice = InstrumentChoice(preset, tuple(options))
    try:
        choice.build()  # reject bad values now, as a usage error
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"{text!r}: {exc}") from None
    return choice


def choices_or_default(choices: Sequence[InstrumentChoice]) -> List[InstrumentChoice]:
    """``choices``, or :data:`DEFAULT_INSTRUMENTS` when there are none."""
    return list(choices) if choices else [parse_instrument(text) for text in DEFAULT_INSTRUMENTS]


def build_instruments(choices: Sequence[InstrumentChoice]) -> List[SimulatedInstrument]:
    """The instruments of ``choices`` (the default ones when empty), with distinct serial numbers."""
    return [choice.build(index) for index, choice in enumerate(choices_or_default(choices))]
