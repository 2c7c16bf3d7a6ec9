"""What the toolkit knows about each instrument model, in one place.

Baud rates, sampling-rate tables and codes, the high-rate code with its
three-byte packets, the Plus Prime edition and the default item numbers.
The simulator, the command line and acquisition all read these tables; the
extension keeps its own copy in C++ (a test checks that the two agree).
This module imports nothing from the extension, so the simulator stays an
independent implementation of the instrument.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Optional, Tuple

__all__ = [
    "HIGH_RATE_CODE",
    "MODELS",
    "MODEL_NAMES",
    "ModelInfo",
    "PLUS_PRIME_ITEM_NUMBER",
    "model_info",
]

#: Item number of the PLX310 Plus Prime: TEDS hardware and the 38400 samples/s rate.
PLUS_PRIME_ITEM_NUMBER = "QMT31872"
#: The PLX310's 38400 samples/s code; streams in three-byte packets.
HIGH_RATE_CODE = 15

_PLX310_RATES = (2.5, 5.0, 10.0, 16.6, 20.0, 50.0, 60.0, 100.0, 400.0, 1200.0,
                 2400.0, 4800.0, 7200.0, 14000.0, 19200.0, 38400.0)
_COMPACT_RATES = (4.0, 20.0, 50.0, 100.0, 200.0, 500.0, 850.0, 1300.0)
_COMPACT_BAUD_RATES = (320000, 115200)


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
        if self.high_rate_code is not None and item_number is not None and item_number != PLUS_PRIME_ITEM_NUMBER:
            return self.rates[:self.high_rate_code]
        return self.rates

    def short_packets(self, code: int) -> bool:
        """Whether streaming at rate ``code`` sends three-byte packets."""
        return code == self.high_rate_code

    def packet_size(self, code: int) -> int:
        """Bytes per stream packet at rate ``code``: 3 or 4."""
        return 3 if self.short_packets(code) else 4

    @property
    def highest_rate(self) -> float:
        """The model's highest rate in samples per second."""
        return max(self.rates)


def format_rate(samples_per_second: float) -> str:
    """2.5 -> ``"2.5"``, 38400.0 -> ``"38400"``."""
    sps = samples_per_second
    return f"{sps:g}" if sps != int(sps) else str(int(sps))


MODELS: Dict[str, ModelInfo] = {
    "PLX310": ModelInfo("PLX310", (2000000,), _PLX310_RATES, "QMT31870", 7, HIGH_RATE_CODE),
    "MVR420": ModelInfo("MVR420", _COMPACT_BAUD_RATES, _COMPACT_RATES, "QMT42010", 3),
    "DTA530": ModelInfo("DTA530", _COMPACT_BAUD_RATES, _COMPACT_RATES, "QMT53010", 3),
    "HSK640": ModelInfo("HSK640", _COMPACT_BAUD_RATES, _COMPACT_RATES, "QMT64010", 3),
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
