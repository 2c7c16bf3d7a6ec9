"""Units by name: the codes an instrument's profile and a TEDS data sheet use for them.

A profile's unit is one byte of the instrument's own table; a TEDS data
sheet has a 6-bit code of its own, with fewer units. Bench files name
units (``unit = "kN"``) and these tables give the codes.
"""

from __future__ import annotations

from typing import Dict

__all__ = ["PROFILE_UNITS", "TEDS_UNITS", "profile_unit_code", "teds_unit_code"]

_PROFILE_NAMES = (
    "atm", "bar", "dyn", "ft_H2O", "ft_lb", "gram", "g_cm", "g_mm", "inch_H2O", "inch_lb", "inch_oz", "k_dyn",
    "kg", "kg_cm", "kg_cm_sq", "kg_m", "k_lb", "k_N", "k_Pa", "k_P_si", "lb", "m_dyn", "mm_Hg", "m_Nm", "M_Pa",
    "MT", "N", "Ncm", "Nm", "Nmm", "oz", "psi", "Pa", "ST", "mVV", "uA", "mA", "A", "mm", "cm", "dm", "m", "km",
    "inch", "ft", "yd", "mi", "ug", "mg", "LT", "mbar", "C", "F", "K", "Ra", "kNm", "gm", "nV", "uV", "mV", "V",
    "kV", "none", "mN")

#: Unit name -> the instrument's unit code: the instrument's own names
#: (``k_N``, ``mVV``) and the usual spellings (``kN``, ``mV/V``, ``N·m``, ``lbf``).
PROFILE_UNITS: Dict[str, int] = {
    **{name: code for code, name in enumerate(_PROFILE_NAMES)},
    "Ohms": 254, "Undefined": 255,
    "kN": 17, "lbf": 20, "klbf": 16, "kPa": 18, "MPa": 24, "ksi": 19, "g": 5, "t": 25,
    "N·m": 28, "N-m": 28, "N·cm": 27, "N·mm": 29, "kN·m": 55, "mN·m": 23, "lbf·in": 9, "lbf·ft": 4,
    "ozf·in": 10, "in-oz": 10, "mV/V": 34, "°C": 51, "°F": 52, "°K": 53, "in": 43, "µV": 58, "µA": 35, "µg": 47, "Ω": 254,
    "ftH2O": 3, "inH2O": 8, "mmHg": 22, "g·cm": 6, "g·mm": 7, "kg·cm": 13, "kg·m": 15, "kg/cm²": 14, "kdyn": 11,
    "mdyn": 21,
}

#: Unit name -> the 6-bit engineering unit code of a TEDS data sheet (its 13 units).
TEDS_UNITS: Dict[str, int] = {
    "K": 0, "°K": 0, "C": 1, "°C": 1, "N": 4, "lb": 5, "lbf": 5, "N·m": 10, "N-m": 10, "Nm": 10,
    "in-oz": 11, "inch_oz": 11, "ozf·in": 11, "Pa": 12, "psi": 13, "kg": 14, "g": 15, "gram": 15,
    "m": 16, "mm": 17,
}


def _code(table: Dict[str, int], name: str, what: str) -> int:
    try:
        return table[name]
    except KeyError:
        raise ValueError(f"unknown {what} unit {name!r}; known units: {', '.join(table)}") from None


def profile_unit_code(name: str) -> int:
    """The instrument's unit code of ``name``; :raises ValueError: an unknown name, listing the known ones."""
    return _code(PROFILE_UNITS, name, "instrument")


def teds_unit_code(name: str) -> int:
    """The TEDS unit code of ``name``; :raises ValueError: an unknown name, listing the known ones."""
    return _code(TEDS_UNITS, name, "TEDS")
