"""The broker connection that publishers and collectors share: address by URL, login, TLS, errors.

Built on paho-mqtt 2, as its own examples do it: one network thread per
client (``loop_start``), automatic reconnection with a doubling wait, and
callbacks that only hand things on.
"""

from __future__ import annotations

import logging
import os
import threading
import urllib.parse
from dataclasses import dataclass
from types import ModuleType
from typing import Any, Callable, Optional

from .._extras import require
from .._options import PASSWORD_VARIABLE

logger = logging.getLogger("vexlo_tools.mqtt")

#: First and longest wait between two reconnection attempts (paho doubles it in between).
RECONNECT_MIN_SECONDS = 1
RECONNECT_MAX_SECONDS = 30
#: How long the first connection may take before the broker counts as unreachable.
CONNECT_SECONDS = 10.0
KEEPALIVE_SECONDS = 15
SCHEMES = {"mqtt": (1883, False), "mqtts": (8883, True)}


def paho() -> ModuleType:
    """paho-mqtt's client module, or an error naming the extra."""
    return require("paho.mqtt.client", "mqtt", "publishing to and collecting from an MQTT broker")


class BrokerError(ConnectionError):
    """The broker cannot be used: unreachable, refusing, or a TLS failure. The message says which."""


@dataclass(frozen=True)
class Broker:
    """Where the broker is and how to log in.

    :ivar host: host name or address.
    :ivar port: TCP port.
    :ivar tls: whether the connection is encrypted (``mqtts://`` or any TLS file given).
    :ivar username: login name, if the broker wants one.
    :ivar password: its password.
    :ivar ca_file: the certificate authorities to trust (PEM); the system's when not given.
    :ivar cert_file: a client certificate (PEM), for brokers that require one.
    :ivar key_file: its private key, when not in ``cert_file``.
    """

    host: str
    port: int = 1883
    tls: bool = False
    username: Optional[str] = None
    password: Optional[str] = None
    ca_file: Optional[str] = None
    cert_file: Optional[str] = None
    key_file: Optional[str] = None

    @classmethod
    def from_url(cls, url: str, *, username: Optional[str] = None, password: Optional[str] = None,
                 ca_file: Optional[str] = None, cert_file: Optional[str] = None,
                 key_file: Optional[str] = None) -> Broker:
        """The broker of ``mqtt://[USER[:PASSWORD]@]HOST[:PORT]`` (``mqtts://`` for TLS, port 8883).

        Explicit ``username`` and ``password`` win over those of the URL; without
        a password the variable :data:`PASSWORD_VARIABLE` is read.

        :raises ValueError: not such a URL.
        """
        parts = urllib.parse.urlsplit(url if "://" in url else "mqtt://" + url)
        if parts.scheme not in SCHEMES:
            raise ValueError(f"broker URL {url!r}: the scheme must be mqtt:// or mqtts://")
        try:
            port = parts.port
        except ValueError as error:
            raise ValueError(f"broker URL {url!r}: {error}") from None
        if not parts.hostname or parts.path not in ("", "/") or parts.query or parts.fragment:
            raise ValueError(f"broker URL {url!r}: expected mqtt://HOST[:PORT]")
        default_port, tls = SCHEMES[parts.scheme]
        user = username if username is not None else _unquote(parts.username)
        word = password if password is not None else _unquote(parts.password)
        if word is None and user is not None:
            word = os.environ.get(PASSWORD_VARIABLE)
        return cls(parts.hostname, port or default_port, tls or any((ca_file, cert_file, key_file)), user, word,
                   ca_file, cert_file, key_file)

    def __str__(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{'mqtts' if self.tls else 'mqtt'}://{host}:{self.port}"

    def client(self, client_id: str, *, clean_start: bool, properties: Optional[Any] = None,
               will: Optional[tuple[str, bytes]] = None,
               prepare: Optional[Callable[[Any], None]] = None, patient: bool = False) -> Connection:
        """A connected client (MQTT 5), its network thread running, reconnecting by itself.

        :param client_id: the client's name at the broker; a persistent session is kept under it.
        :param clean_start: start a fresh session rather than resume the one under ``client_id``.
        :param properties: the MQTT 5 properties of the CONNECT packet (e.g. the session expiry).
        :param will: topic and payload the broker publishes, retained, when this client vanishes.
        :param prepare: called with the paho client before it connects (messages of a resumed
            session may come at once, so their callbacks must be in place by then).
        :param patient: a broker that cannot be reached yet is logged and tried again in the
            background (the connection's ``on_connect`` is then called at the first connection too).
        :raises BrokerError: unreachable (unless ``patient``), refused, TLS failed.
        """
        return Connection(self, client_id, clean_start, properties, will, prepare, patient)


def _unquote(text: Optional[str]) -> Optional[str]:
    return None if text is None else urllib.parse.unquote(text)


class Connection:
    """A paho client connected to a :class:`Broker`; :attr:`client` is the paho client.

    :attr:`on_connect` is called on the network thread at every connection
    after the first, before :attr:`connected` is set and before the client
    resends the messages it holds. Use :meth:`close` (or the ``with`` block)
    to disconnect.
    """

    def __init__(self, broker: Broker, client_id: str, clean_start: bool, properties: Optional[Any],
                 will: Optional[tuple[str, bytes]], prepare: Optional[Callable[[Any], None]] = None,
                 patient: bool = False) -> None:
        import ssl  # here, not at the top: the commands' options read this module (paho imports it anyway)

        mqtt = paho()
        self.broker = broker
        self.connected = threading.Event()
        self.on_connect: Callable[[], None] = lambda: None
        self._refused: Optional[str] = None
        self._closed_early: Optional[str] = None
        self._answered = threading.Event()
        self._closing = False
        client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=client_id, protocol=mqtt.MQTTv5)
        self.client = client
        if broker.username is not None:
            client.username_pw_set(broker.username, broker.password)
        if broker.tls:
            try:
                client.tls_set(ca_certs=broker.ca_file, certfile=broker.cert_file, keyfile=broker.key_file)
            except (OSError, ssl.SSLError) as error:
                raise BrokerError(f"TLS files for {broker}: {error}") from error
        if will is not None:
            client.will_set(will[0], will[1], qos=1, retain=True)
        client.reconnect_delay_set(RECONNECT_MIN_SECONDS, RECONNECT_MAX_SECONDS)
        client.on_connect = self._connected
        client.on_disconnect = self._disconnected
        if prepare is not None:
            prepare(client)
        try:
            client.connect(broker.host, broker.port, KEEPALIVE_SECONDS, clean_start=clean_start,
                           properties=properties)
        except ssl.SSLError as error:
            raise BrokerError(f"TLS with the broker at {broker} failed: {error.reason or error}") from error
        except OSError as error:
            if not patient:
                raise BrokerError(f"cannot reach the broker at {broker}: {error.strerror or error}") from error
            logger.warning("cannot reach the broker at %s yet (%s); trying again in the background",
                           broker, error.strerror or error)
            self._answered.set()  # every connection from now on is one "again"
            client.connect_async(broker.host, broker.port, KEEPALIVE_SECONDS, clean_start=clean_start,
                                 properties=properties)
            client.loop_start()
            return
        client.loop_start()
        answered = self._answered.wait(CONNECT_SECONDS)
        if not answered or self._refused is not None or self._closed_early is not None:
            self._closing = True
            client.loop_stop()
            client.disconnect()
            if self._refused is not None:
                raise BrokerError(f"the broker at {broker} refused the connection: {self._refused}")
            if self._closed_early is not None:
                raise BrokerError(f"the broker at {broker} closed the connection before accepting it "
                                  f"({self._closed_early})" + (
                                      "; a broker that requires a client certificate does so without one"
                                      if broker.tls and broker.cert_file is None else ""))
            raise BrokerError(f"the broker at {broker} did not answer within {CONNECT_SECONDS:g} s")

    def _connected(self, client: Any, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        if reason.is_failure:
            self._refused = str(reason)
            if self._answered.is_set():
                logger.error("the broker at %s refused the reconnection: %s", self.broker, reason)
            self._answered.set()
            return
        if self._answered.is_set():
            logger.warning("connected to the broker at %s again", self.broker)
        self._refused = None
        self.on_connect()
        self.connected.set()
        self._answered.set()

    def _disconnected(self, client: Any, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        was = self.connected.is_set()
        self.connected.clear()
        if not self._answered.is_set() and not self._closing:  # not our own giving up on a silent port
            self._closed_early = str(reason)
            self._answered.set()
            return
        if was and not self._closing:
            logger.warning("lost the connection to the broker at %s (%s); reconnecting", self.broker, reason)

    def close(self) -> None:
        """Disconnect cleanly (no last will) and stop the network thread."""
        self._closing = True
        self.client.disconnect()
        self.client.loop_stop()

    def __enter__(self) -> Connection:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
