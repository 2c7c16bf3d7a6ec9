"""Beyond one computer: stands publish to an MQTT broker, collectors write the recordings.

- :class:`Publisher`: a sink of the consumer engine that publishes every
  block of every instrument (QoS 1, through a bounded spool on disk).
- :class:`Collector`: subscribes with a persistent session and writes one
  HDF5 recording per stand, instrument and run.
- :class:`Broker`: where the broker is, login and TLS; :class:`BrokerError`
  when it cannot be used.
- :mod:`~vexlo_tools.mqtt.layout`: the binary layout of a data message.
- :mod:`~vexlo_tools.mqtt.checks`: every check of a message from the broker, for every consumer.
- :mod:`~vexlo_tools.mqtt.fleet`: what the fleet's page (``vexlo serve --broker``) shows, from the
  broker (imported on its own: it sits on the live page's modules, which the stands and collectors
  do not need).

Needs the ``mqtt`` extra (paho-mqtt 2). ``docs/mqtt.md`` describes the topics and the fleet.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from . import checks, layout, topics
    from .broker import Broker, BrokerError
    from .collector import Collector
    from .publisher import PublishError, Publisher
    from .spool import Spool

__all__ = ["Broker", "BrokerError", "Collector", "PublishError", "Publisher", "Spool", "checks", "layout", "topics"]

# Each name is imported when first used: the commands' options read the broker's (a light module)
# without loading the publisher's and collector's (numpy, the recordings).
_HOMES = {"Broker": "broker", "BrokerError": "broker", "Collector": "collector", "PublishError": "publisher",
          "Publisher": "publisher", "Spool": "spool"}


def __getattr__(name: str) -> Any:
    if name in ("checks", "layout", "topics"):
        return importlib.import_module(f"{__name__}.{name}")
    if name in _HOMES:
        return getattr(importlib.import_module(f"{__name__}.{_HOMES[name]}"), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
