"""What the toolkit knows about each instrument model, read from ``models.toml``.

Baud rates, sampling-rate tables and codes, the high-rate code with its
short packets, the Plus Prime edition, the default item numbers, the
loading-table size, the TEDS bracket and the link's read timeout. The build
generates the extension's C++ table from the same file, so the two cannot
disagree; nothing else in the toolkit or the simulator writes a model fact.
This module imports nothing from the extension, so the simulator stays an
independent implementation of the instrument.
"""

from __future__ import annotations

import os
import tomllib
from dataclasses import dataclass
from typing import Any, Dict, Optional, Tuple

__all__ = [
    "MAX_LOADING_POINTS",
    "MODELS",
    "MODEL_NAMES",
    "ModelInfo",
    "PLUS_PRIME_ITEM_NUMBER",
    "READ_TIMEOUT_SECONDS",
    "TEDS_BRACKET_RATE_CODE",
    "TEDS_SETTLE_SECONDS",
    "is_plus_prime",
    "model_info",
    "unit_symbol",
]

# os.path, not pathlib: the commands' help reads the model names, and pathlib costs as much again.
with open(os.path.join(os.path.dirname(__file__), "models.toml"), "rb") as _file:
    _FACTS: Dict[str, Any] = tomllib.load(_file)

#: The model with editions.
EDITION_MODEL: str = _FACTS["edition"]["model"]
#: Item number of the Plus Prime edition: TEDS hardware and the high rate.
PLUS_PRIME_ITEM_NUMBER: str = _FACTS["edition"]["plus_prime_item_number"]
#: Points per direction of an instrument's loading table.
MAX_LOADING_POINTS: int = _FACTS["calibration"]["max_loading_points"]
#: Rate code that TEDS work runs at, and the seconds the instrument settles after it.
TEDS_BRACKET_RATE_CODE: int = _FACTS["teds"]["bracket_rate_code"]
TEDS_SETTLE_SECONDS: float = float(_FACTS["teds"]["settle_seconds"])
#: Read timeout of a new link, in seconds.
READ_TIMEOUT_SECONDS: float = float(_FACTS["link"]["read_timeout_seconds"])
_PACKET_SIZE: int = _FACTS["packets"]["size"]
_SHORT_PACKET_SIZE: int = _FACTS["packets"]["short_size"]


def is_plus_prime(model: str, item_number: Optional[str]) -> bool:
    """Whether an instrument is the Plus Prime edition (TEDS hardware, the high rate)."""
    return model == EDITION_MODEL and item_number == PLUS_PRIME_ITEM_NUMBER


@dataclass(frozen=True)
class ModelInfo:
    """One instrument model.

    :ivar name: the model number the instrument reports, e.g. ``"PLX310"``.
    :ivar baud_rates: the rates it answers at, in the order discovery tries them.
    :ivar rates: samples per second, indexed by sampling-rate code.
    :ivar default_item_number: item number of the standard edition.
    :ivar default_rate_code: the code a new instrument's profiles carry (100 samples/s).
    :ivar high_rate_code: the code streamed in three-byte packets, or ``None``.
    """

    name: str
    baud_rates: Tuple[int, ...]
    rates: Tuple[float, ...]
    default_item_number: str
    default_rate_code: int
    high_rate_code: Optional[int] = None

    def samples_per_second(self, code: int) -> Optional[float]:
        """Samples per second of rate ``code``; ``None`` when the code is not in the table."""
        return self.rates[code] if 0 <= code < len(self.rates) else None

    def rate_code(self, samples_per_second: float, item_number: Optional[str] = None) -> int:
        """The code of ``samples_per_second`` on this model.

        :param item_number: the instrument's item number; the high rate is
            offered only to the Plus Prime edition when it is given.
        :raises ValueError: the model (or edition) has no such rate; the message lists its rates.
        """
        offered = self.offered_rates(item_number)
        for code, sps in enumerate(offered):
            if abs(sps - samples_per_second) < 1e-6:
                return code
        choices = ", ".join(format_rate(sps) for sps in offered)
        raise ValueError(f"{self.name} has no rate of {format_rate(samples_per_second)} samples/s; "
                         f"choose from {choices}")

    def offered_rates(self, item_number: Optional[str] = None) -> Tuple[float, ...]:
        """The rates by code that an instrument of this model can do (the high rate only on the Plus Prime)."""
        if self.high_rate_code is not None and item_number is not None and not is_plus_prime(self.name, item_number):
            return self.rates[:self.high_rate_code]
        return self.rates

    def short_packets(self, code: int) -> bool:
        """Whether streaming at rate ``code`` sends three-byte packets."""
        return code == self.high_rate_code

    def packet_size(self, code: int) -> int:
        """Bytes per stream packet at rate ``code``: 3 or 4."""
        return _SHORT_PACKET_SIZE if self.short_packets(code) else _PACKET_SIZE


def format_rate(samples_per_second: float) -> str:
    """2.5 -> ``"2.5"``, 38400.0 -> ``"38400"``."""
    sps = samples_per_second
    return f"{sps:g}" if sps != int(sps) else str(int(sps))


def describe_rate(model: str, code: int) -> str:
    """Rate ``code`` of ``model`` as text: ``"2.5 samples/s (code 0)"``, or what is wrong with it."""
    info = MODELS.get(model)
    sps = None if info is None else info.samples_per_second(code)
    if sps is None:
        return f"code {code} (not a {model} rate)"
    return f"{format_rate(sps)} samples/s (code {code})"


MODELS: Dict[str, ModelInfo] = {
    m["name"]: ModelInfo(m["name"], tuple(m["baud_rates"]),
                         tuple(float(sps) for sps in _FACTS["rates"][m["rates"]]["samples_per_second"]),
                         m["default_item_number"], m["default_rate_code"], m.get("high_rate_code"))
    for m in _FACTS["model"]
}
#: The model numbers, in the order the command line lists them.
MODEL_NAMES: Tuple[str, ...] = tuple(MODELS)


def model_info(name: str) -> ModelInfo:
    """The model named ``name`` (any case).

    :raises ValueError: not one of :data:`MODEL_NAMES`.
    """
    info = MODELS.get(name.strip().upper())
    if info is None:
        raise ValueError(f"unknown model {name!r}; choose from {', '.join(MODEL_NAMES)}")
    return info


# The usual spelling of the instrument's unit names that are spelled otherwise in its table (which has no
# room for "/" or "·"); each is also a name the simulator takes for the same unit.
_UNIT_SYMBOLS = {
    "mVV": "mV/V", "k_N": "kN", "k_Pa": "kPa", "M_Pa": "MPa", "k_P_si": "ksi", "k_lb": "klbf", "gram": "g",
    "Nm": "N·m", "Ncm": "N·cm", "Nmm": "N·mm", "kNm": "kN·m", "m_Nm": "mN·m", "inch_lb": "lbf·in",
    "ft_lb": "lbf·ft", "inch_oz": "ozf·in", "inch": "in", "uA": "µA", "uV": "µV", "ug": "µg",
    "C": "°C", "F": "°F", "Ohms": "Ω", "ft_H2O": "ftH2O", "inch_H2O": "inH2O", "mm_Hg": "mmHg", "g_cm": "g·cm",
    "g_mm": "g·mm", "kg_cm": "kg·cm", "kg_m": "kg·m", "kg_cm_sq": "kg/cm²", "k_dyn": "kdyn", "m_dyn": "mdyn",
}


def unit_symbol(name: str) -> str:
    """The usual spelling of one of the instrument's unit names: ``"mVV"`` -> ``"mV/V"``, ``"k_N"`` -> ``"kN"``;
    other names as they are."""
    return _UNIT_SYMBOLS.get(name, name)
