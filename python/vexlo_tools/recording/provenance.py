"""What a recording says about where its data came from.

Everything here is read from values the device already holds (its
converter, its cached TEDS data) or from the stream description, so it can
be gathered while a background reader owns the port.
"""

from __future__ import annotations

import platform
import socket
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, Optional

from .._extras import software_version
from ..types import StreamInfo
from .writers import Metadata

if TYPE_CHECKING:
    import vexlo_device_communication as vexlo

#: The converter's calibration points, as (metadata key, converter attribute).
_CONVERTER_FIELDS = tuple(
    (f"direction_{d}_{point}_{what}", f"direction_{d}_{point}_{attr}")
    for d in (1, 2) for point in ("offset", "fullscale") for what, attr in (("load", "load"), ("count", "value")))
_TEDS_FIELDS = ("template", "min_capacity", "max_capacity", "min_electrical", "max_electrical",
                "reverse_scaling_enabled", "reverse_max_electrical")


def provenance(stream: StreamInfo, started: Optional[datetime] = None, extra: Optional[Metadata] = None) -> Metadata:
    """The provenance of one instrument's stream.

    :param stream: the stream's description, from :attr:`vexlo_tools.Acquisition.streams`.
    :param started: when streaming started (aware, UTC); the stream's ``start_utc`` when not given.
    :param extra: the user's own keys (notes, say), added after the provenance.
    :return: identity, settings, calibration, start time, software versions and ``extra``, flat.
    :raises ValueError: a key of ``extra`` is one of the provenance's own.
    """
    started = started or stream.start_utc or datetime.now(timezone.utc)
    metadata: Metadata = {
        "model": stream.model,
        "item_number": stream.item_number,
        "serial_number": int(stream.serial_number),
        "firmware": stream.firmware,
        "port": stream.port,
        "rate_code": int(stream.rate_code),
        "samples_per_second": float(stream.samples_per_second),
        "packet_format": f"{'three' if stream.packet_size == 3 else 'four'}-byte packets",
        "unit": stream.unit,
        "start_utc": started.isoformat(timespec="milliseconds"),
        "host": socket.gethostname(),
        "software_version": software_version(),
        "python_version": platform.python_version(),
    }
    metadata["channel"] = int(stream.channel)
    for key in ("profile", "sensor_serial_number"):
        if getattr(stream, key) is not None:
            metadata[key] = int(getattr(stream, key))
    metadata.update(calibration(stream.device))
    for key, value in (extra or {}).items():
        if key in metadata:
            raise ValueError(f"metadata key {key!r} is part of the provenance")
        metadata[key] = value
    return metadata


def calibration(device: vexlo.VexloDevice) -> Metadata:
    """The calibration the device converts with: its converter's points, and the TEDS data sheet when loaded."""
    from .. import _lowlevel  # here, so that reading recordings does not load the extension

    teds = _lowlevel.teds_record(device)
    converter: Optional[Any] = device.get_adc_converter()
    found: Metadata = {"calibration": "TEDS data sheet" if teds is not None else "instrument"}
    if converter is not None:
        found["direction_code"] = int(converter.number_of_directions)
        found["number_of_loading_points"] = int(converter.number_of_loading_points)
        for key, attribute in _CONVERTER_FIELDS:
            found[key] = float(getattr(converter, attribute))
    if teds is not None:
        found["teds_serial_number"] = str(teds.serial_number)
        found["teds_engineering_unit"] = device.get_teds_engineering_unit()
        for field in _TEDS_FIELDS:
            value = getattr(teds, field)
            found["teds_" + field] = value if isinstance(value, (bool, int, float, str)) else str(value)
    return found
