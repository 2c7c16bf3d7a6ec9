"""The live page's web application: Starlette routes and one websocket, served by uvicorn.

Everything the application uses is handed to :func:`create_app` (:class:`Page`, kept in the
application's state); nothing is global. Every request, static files and the chart bundle
included, first passes :class:`Gate`, the one ASGI middleware that refuses: a ``Host`` other than
this computer's names while no token is set (so a page of another site cannot reach the server
through a name that resolves here); a missing or wrong token where one is set; an ``Origin`` that
is not this page's own (scheme, host and port); a body over :data:`MAX_BODY` bytes. It answers a
fault of the application with a short error, never a traceback. The endpoints then refuse control
requests without ``--control`` or whose body is not a small JSON object, and downloads of any name
that is not a recording in the directory.

Frames come from :class:`SharedFrames`: built off the event loop, once per interval for every
viewer of the same window that was sent the same before (windows and widths rounded up to a few
sizes; a frame carries only the chart's columns new since the viewer's last one); at most
:attr:`Page.max_viewers` viewers are served, and one that does not read is dropped.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import hmac
import html
import ipaddress
import json
import logging
import os
import secrets
import socket
import threading
import time
from dataclasses import dataclass, field
from importlib import resources
from pathlib import Path
from typing import Any, Awaitable, Callable, Dict, List, MutableMapping, Optional, Sequence, Tuple, Union
from urllib.parse import parse_qs, quote, urlsplit

from ._extras import require
from ._options import MAX_VIEWERS
from .recording.limits import LimitSink
from .live import MAX_WINDOW, MIN_WINDOW, Frame, InstrumentView, LiveView, Recordings, Since

__all__ = ["Gate", "Page", "SharedFrames", "WebServer", "check_token", "create_app", "is_loopback", "needed_token",
           "page_address", "parse_json", "serve"]

logger = logging.getLogger(__name__)

#: A viewer whose browser takes longer than this to take one frame is disconnected.
SEND_TIMEOUT = 10.0
#: Frames a viewer may have been sent and not yet drawn.
FRAMES_IN_FLIGHT = 2
LOOPBACK_NAMES = ("localhost", "127.0.0.1", "::1")
#: The shortest access token accepted: a short one is guessed.
MIN_TOKEN = 16
#: The largest request body (and websocket message) taken, in bytes: control requests are small.
MAX_BODY = 64 * 1024
#: The deepest nesting of a control request's JSON: its bodies are flat objects.
MAX_DEPTH = 4
#: The windows (seconds) and chart widths (pixel columns) frames are built for: a viewer's wish
#: is rounded up to one of them, so that viewers share frames.
WINDOWS = (1.0, 5.0, 10.0, 30.0, 60.0, 300.0, 600.0)
COLUMNS = (200, 400, 800, 1600, 3200)
#: The longest time between two frames of a viewer, however long its window's columns: the figures
#: (value, counters, a stream seen alive) stay current.
MAX_FRAME_INTERVAL = 0.5
Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]


def is_loopback(host: str) -> bool:
    """Whether ``host`` (a name or address to listen on) is this computer only."""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def check_token(token: Optional[str]) -> None:
    """Refuse a token that is empty or short enough to be guessed.

    :raises ValueError: saying how long it must be.
    """
    if token is not None and len(token) < MIN_TOKEN:
        raise ValueError(f"--token must be at least {MIN_TOKEN} characters")


def needed_token(host: str, token: Optional[str]) -> Optional[str]:
    """The token a server listening on ``host`` uses: ``token``, or one made up when ``host`` is not
    this computer's own and none is given.

    :raises ValueError: a token shorter than :data:`MIN_TOKEN` characters.
    """
    check_token(token)
    if token is None and not is_loopback(host):
        token = secrets.token_urlsafe(16)
    return token


def _round_up(value: float, sizes: Sequence[Any]) -> Any:
    return next((size for size in sizes if size >= value), sizes[-1])


class SharedFrames:
    """Frames of a view, built off the event loop and shared by every viewer of the same window.

    A viewer's window and width are rounded up to one of :data:`WINDOWS` and :data:`COLUMNS`. Each
    such pair has its own interval: a pixel column's time (a frame has a new column to show),
    at least that of ``frames_per_second`` and at most :data:`MAX_FRAME_INTERVAL` (the figures
    stay current). A frame for a pair and what its viewer was sent before (:class:`~vexlo_tools.live.Since`)
    is built at most once per interval, on one thread of its own, whoever asks for it (the viewers
    who ask meanwhile wait for the same one): viewers that keep up share every frame.

    :param build: ``build(seconds, columns, since)`` makes one frame (called on the frames' thread).
    """

    def __init__(self, build: Callable[[float, int, Optional[Since]], Frame], frames_per_second: float = 12.0) -> None:
        self.build = build
        self.shortest = 1.0 / frames_per_second
        self._frames: Dict[Tuple[Tuple[float, int], Optional[Since]], Tuple[int, "asyncio.Future[Frame]"]] = {}
        self._thread = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="vexlo frames")

    @staticmethod
    def key(seconds: float, columns: int) -> Tuple[float, int]:
        """The window and width a frame is built for."""
        return _round_up(seconds, WINDOWS), _round_up(columns, COLUMNS)

    def interval(self, key: Tuple[float, int]) -> float:
        """Seconds between the frames of the window and width ``key``."""
        return min(MAX_FRAME_INTERVAL, max(self.shortest, key[0] / key[1]))

    def tick(self, key: Tuple[float, int]) -> int:
        """The number of the current interval of ``key``."""
        return int(asyncio.get_running_loop().time() / self.interval(key))

    async def get(self, seconds: float, columns: int, since: Optional[Since] = None) -> Frame:
        """The frame of this interval for the window ``seconds``, the width ``columns`` and a viewer
        last sent ``since``."""
        key = self.key(seconds, columns)
        tick = self.tick(key)
        cached = self._frames.get((key, since))
        if cached is None or cached[0] != tick:
            # Frames of past intervals are of no use to anyone.
            for old in [k for k, (t, _) in self._frames.items() if t != self.tick(k[0])]:
                del self._frames[old]
            loop = asyncio.get_running_loop()
            future = loop.run_in_executor(self._thread, self.build, *key, since)
            self._frames[(key, since)] = cached = (tick, future)
        return await asyncio.shield(cached[1])

    def close(self) -> None:
        self._thread.shutdown(wait=False, cancel_futures=True)


@dataclass
class Page:
    """What the application serves and may do.

    :ivar view: the view the frames are built from (this computer's :class:`~vexlo_tools.live.LiveView`,
        or a fleet's :class:`~vexlo_tools.mqtt.fleet.FleetView`).
    :ivar recordings: where recordings started from the page go; ``None`` without ``--control``.
    :ivar set_rate: ``set_rate(rate, index)`` changes the rate of instrument ``index``, or of every
        instrument if ``None`` (restarting the stream); ``None`` without ``--control``.
    :ivar token: the access token every request must carry (``?token=`` or the ``X-Vexlo-Token``
        header); ``None`` on loopback without ``--token``.
    :ivar frames_per_second: the most frames a viewer gets.
    :ivar max_viewers: viewers served at once; one more is told so and closed.
    :ivar send_timeout: a viewer that has not taken a frame within this many seconds is dropped.
    """

    view: InstrumentView
    recordings: Optional[Recordings] = None
    set_rate: Optional[Callable[[float, Optional[int]], None]] = None
    token: Optional[str] = None
    frames_per_second: float = 12.0
    max_viewers: int = MAX_VIEWERS
    send_timeout: float = SEND_TIMEOUT
    viewers: int = 0
    #: What keeps the page from showing instruments (none found, all lost), while the server looks again.
    problem: Optional[str] = None
    frames: SharedFrames = field(init=False)

    def __post_init__(self) -> None:
        check_token(self.token)
        self.frames = SharedFrames(self.view.frame, self.frames_per_second)

    @property
    def control(self) -> bool:
        return self.recordings is not None

    def hello(self) -> Dict[str, Any]:
        """What a viewer needs once (and again when the instruments change)."""
        generation, facts = self.view.described()
        return {"type": "hello", "instruments": facts, "control": self.control,
                "generation": generation, "window": [MIN_WINDOW, MAX_WINDOW],
                "formats": Recordings.suffixes() if self.control else []}

    def status(self) -> Dict[str, Any]:
        recording = self.recordings.status() if self.recordings is not None else None
        return {"type": "status", "recording": recording, "problem": self.problem}


def _static_dir() -> Path:
    return Path(str(resources.files("vexlo_tools") / "static"))


def _plotly_js() -> Path:
    require("plotly", "web", "vexlo serve")
    return Path(str(resources.files("plotly") / "package_data" / "plotly.min.js"))


def _header(scope: Scope, name: bytes) -> Optional[str]:
    for key, value in scope.get("headers", ()):
        if key == name:
            return bytes(value).decode("latin-1")
    return None


_DEFAULT_PORTS = {"http": 80, "https": 443}


def _origin_of(scheme: str, netloc: str) -> Optional[Tuple[str, str, int]]:
    """(scheme, host, port) of an address, the port said or not; ``None`` if it is not one."""
    try:
        parts = urlsplit(f"{scheme}://{netloc}")
        port = parts.port or _DEFAULT_PORTS.get(scheme)
    except ValueError:
        return None
    if not parts.hostname or port is None:
        return None
    return scheme, parts.hostname, port


class Gate:
    """The ASGI middleware every request passes first: Host, token, Origin, body size, and faults.

    Refused: without a token, a ``Host`` that is not this computer's name (``localhost``,
    ``127.0.0.1``, ``::1``); with one, a request that does not carry it (``?token=`` or the
    ``X-Vexlo-Token`` header); an ``Origin`` other than the address asked for (scheme, host and
    port); a body over ``max_body`` bytes (413). A fault of the application is answered 500 with
    a one-line error, logged without a traceback.

    :param app: the ASGI application behind the gate.
    :param token: the access token, or ``None`` (then only this computer's names are served).
    :raises ValueError: a token shorter than :data:`MIN_TOKEN` characters.
    """

    def __init__(self, app: Any, token: Optional[str] = None, max_body: int = MAX_BODY) -> None:
        check_token(token)
        self.app, self.token, self.max_body = app, token, max_body

    def refusal(self, scope: Scope) -> Optional[str]:
        """Why the request is refused, or ``None``."""
        host = _header(scope, b"host") or ""
        scheme = "https" if scope.get("scheme") in ("https", "wss") else "http"
        own = _origin_of(scheme, host)
        if own is None:
            return "the request names no valid host"
        if self.token is None:
            if own[1] not in LOOPBACK_NAMES:
                return "this address serves only this computer"
        else:
            query = parse_qs(bytes(scope.get("query_string", b"")).decode("latin-1"))
            given = (query.get("token") or [""])[0] or _header(scope, b"x-vexlo-token") or ""
            if not hmac.compare_digest(given.encode(), self.token.encode()):
                return "a valid token is required"
        origin = _header(scope, b"origin")
        if origin is not None:
            parts = urlsplit(origin)
            if _origin_of(parts.scheme, parts.netloc) != own or parts.path not in ("", "/"):
                return "requests from another site are refused"
        return None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        reason = self.refusal(scope)
        if reason is not None:
            logger.warning("refused %s %s: %s", scope["type"], scope.get("path"), reason)
            if scope["type"] == "websocket":
                await send({"type": "websocket.close", "code": 1008, "reason": reason})
            else:
                await _answer(send, 403, reason)
            return
        if scope["type"] == "http":
            body = await self._body(receive)
            if body is None:
                await _answer(send, 413, f"a request body is at most {self.max_body} bytes")
                return
            receive = _replay(body, receive)
        started = False

        async def sending(message: MutableMapping[str, Any]) -> None:
            nonlocal started
            started = started or message["type"] in ("http.response.start", "websocket.accept")
            await send(message)

        try:
            await self.app(scope, receive, sending)
        except Exception as error:  # a fault of ours: said in one line, the server goes on
            logger.error("%s %s failed: %s: %s", scope["type"], scope.get("path"), type(error).__name__, error)
            if not started and scope["type"] == "http":
                await _answer(send, 500, "the server failed to answer this request")

    async def _body(self, receive: Receive) -> Optional[bytes]:
        """The request's whole body, or ``None`` once it is larger than allowed."""
        chunks: List[bytes] = []
        size = 0
        while True:
            message = await receive()
            if message["type"] != "http.request":
                break
            chunk = bytes(message.get("body", b""))
            size += len(chunk)
            if size > self.max_body:
                return None
            chunks.append(chunk)
            if not message.get("more_body", False):
                break
        return b"".join(chunks)


def _replay(body: bytes, receive: Receive) -> Receive:
    """``receive`` that hands the body read already, then waits for the client to leave."""
    given = False

    async def replay() -> MutableMapping[str, Any]:
        nonlocal given
        if not given:
            given = True
            return {"type": "http.request", "body": body, "more_body": False}
        return await receive()
    return replay


async def _answer(send: Send, status: int, error: str) -> None:
    body = json.dumps({"error": error}).encode()
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})


def _too_deep(value: Any) -> bool:
    """Whether ``value`` nests deeper than :data:`MAX_DEPTH`, found level by level, without recursion:
    the decoder's own depth limit differs between interpreters, and a document it takes can still be
    too deep for a recursive walk in Python."""
    level: List[Any] = [value] if isinstance(value, (dict, list)) else []
    for _ in range(MAX_DEPTH):
        level = [child for item in level for child in (item.values() if isinstance(item, dict) else item)
                 if isinstance(child, (dict, list))]
        if not level:
            return False
    return True


def parse_json(data: Union[str, bytes]) -> Any:
    """A small JSON document from outside.

    :raises ValueError: not JSON, or nested deeper than :data:`MAX_DEPTH`.
    """
    try:
        value = json.loads(data)
    except RecursionError:
        raise ValueError(f"JSON nested deeper than {MAX_DEPTH} levels") from None
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ValueError(f"not JSON: {error}") from None
    if _too_deep(value):
        raise ValueError(f"JSON nested deeper than {MAX_DEPTH} levels")
    return value


# ---------------------------------------------------------------- endpoints


def _page(connection: Any) -> Page:
    page: Page = connection.app.state.page
    return page


def _refused(reason: str, status: int = 403) -> Any:
    from starlette.responses import JSONResponse
    logger.warning("refused: %s", reason)
    return JSONResponse({"error": reason}, status_code=status)


async def index(request: Any) -> Any:
    from starlette.responses import HTMLResponse
    page = _page(request)
    # The page's own links carry the token, so that its style, script and icon pass the gate.
    query = html.escape(f"?token={quote(page.token, safe='')}") if page.token else ""
    text = (_static_dir() / "live.html").read_text(encoding="utf-8").replace("{{query}}", query)
    return HTMLResponse(text, headers={"Cache-Control": "no-store"})


async def plotly(request: Any) -> Any:
    from starlette.responses import FileResponse
    return FileResponse(_plotly_js(), headers={"Cache-Control": "max-age=86400"})


def _controlled(action: Callable[[Page, Dict[str, Any]], Any]) -> Callable[[Any], Awaitable[Any]]:
    """An endpoint that runs ``action(page, body)`` off the event loop, for a page with control."""
    async def endpoint(request: Any) -> Any:
        from starlette.responses import JSONResponse
        page = _page(request)
        if not page.control:
            return _refused("this page is read-only (the server was started without --control)")
        if request.headers.get("content-type", "").split(";")[0].strip() != "application/json":
            return _refused("control requests carry JSON", 415)
        try:
            body = parse_json(await request.body())
            if not isinstance(body, dict):
                raise ValueError("the body must be a JSON object")
            answer = await asyncio.to_thread(action, page, body)
        except (ValueError, TypeError, KeyError, OverflowError) as error:
            return _refused(str(error), 400)
        return JSONResponse({"ok": True, **(answer or {})})
    return endpoint


def _instrument(page: Page, body: Dict[str, Any]) -> Optional[int]:
    """The instrument a request names (``"instrument"``: its position), or ``None`` for all."""
    index = body.get("instrument")
    if index is None:
        return None
    if not isinstance(index, int) or isinstance(index, bool) or not 0 <= index < len(page.view.facts()):
        raise ValueError(f"no instrument {index!r}")
    return index


def _start(page: Page, body: Dict[str, Any]) -> Dict[str, Any]:
    assert page.recordings is not None
    return {"file": page.recordings.start(str(body.get("format", ".h5")))}


def _stop(page: Page, body: Dict[str, Any]) -> Dict[str, Any]:
    assert page.recordings is not None
    return {"file": page.recordings.stop()}


def _tare(page: Page, body: Dict[str, Any]) -> None:
    page.view.tare(_instrument(page, body))


def _untare(page: Page, body: Dict[str, Any]) -> None:
    page.view.untare(_instrument(page, body))


def _rate(page: Page, body: Dict[str, Any]) -> None:
    assert page.set_rate is not None
    rate = body.get("rate")
    if not isinstance(rate, (int, float)) or isinstance(rate, bool):
        raise ValueError("the rate must be a number")
    page.set_rate(float(rate), _instrument(page, body))


async def _listing(request: Any) -> Any:
    """The recordings by name, or the refusal of a request for them or for one of them."""
    page = _page(request)
    if page.recordings is None:
        return _refused("no recordings without --control")
    return await asyncio.to_thread(page.recordings.files)


async def files(request: Any) -> Any:
    from starlette.responses import JSONResponse
    listed = await _listing(request)
    if not isinstance(listed, dict):
        return listed
    return JSONResponse({"files": [{"name": name, "size": path.stat().st_size} for name, path in listed.items()]})


async def download(request: Any) -> Any:
    from starlette.responses import FileResponse
    listed = await _listing(request)
    if not isinstance(listed, dict):
        return listed
    # The name only picks an entry of the listing; it never becomes a path itself.
    path = listed.get(request.path_params["name"])
    if path is None:
        return _refused("no such recording", 404)
    return FileResponse(path, filename=path.name)


async def live(websocket: Any) -> None:
    """One viewer: the facts, then a frame and the status each interval while it draws them."""
    from starlette.websockets import WebSocketDisconnect
    page = _page(websocket)
    await websocket.accept()
    if page.viewers >= page.max_viewers:
        reason = f"the page has {page.max_viewers} viewers already, the most it serves; try again later"
        logger.warning("refused a viewer: %s", reason)
        await websocket.send_json({"type": "refused", "error": reason})
        await websocket.close(code=1013, reason="too many viewers")
        return
    page.viewers += 1
    wanted = {"window": 10.0, "columns": 800}
    # Frames sent and not yet drawn: a browser that falls behind gets no more until it has
    # drawn, so it skips frames rather than queueing them (and the latency with them).
    unacknowledged = 0
    drawn = asyncio.Event()

    async def listen() -> None:
        nonlocal unacknowledged
        try:
            while True:
                message = parse_json(await websocket.receive_text())
                if isinstance(message, dict):
                    for key, kind in (("window", float), ("columns", int)):
                        if isinstance(message.get(key), (int, float)):
                            wanted[key] = kind(message[key])
                    if isinstance(message.get("drawn"), int):
                        unacknowledged = max(0, unacknowledged - message["drawn"])
                        drawn.set()
        except (WebSocketDisconnect, ValueError, OverflowError, RuntimeError, KeyError):
            pass  # the viewer left or spoke nonsense: its frames end with this

    listener = asyncio.create_task(listen())
    frames = page.frames
    loop = asyncio.get_running_loop()
    generation = -1
    # What this viewer has been sent: the next frame carries only what is new since (or the whole
    # window again, after a change of window or width).
    since: Optional[Since] = None
    key: Optional[Tuple[float, int]] = None
    try:
        while not listener.done():
            if generation != page.view.generation:
                generation = page.view.generation
                await asyncio.wait_for(websocket.send_json(page.hello()), page.send_timeout)
            asked = frames.key(float(wanted["window"]), int(wanted["columns"]))
            if asked != key:
                key, since = asked, None
            if unacknowledged >= FRAMES_IN_FLIGHT:
                drawn.clear()
                # A hidden page draws nothing and waits here, costing nothing, until shown again.
                await asyncio.wait([listener, asyncio.ensure_future(drawn.wait())], timeout=frames.interval(key),
                                   return_when=asyncio.FIRST_COMPLETED)
                continue
            tick = frames.tick(key)
            frame = await frames.get(*key, since)
            # A viewer that does not read fills its connection's buffer: it is dropped here.
            await asyncio.wait_for(websocket.send_bytes(frame.data), page.send_timeout)
            since = frame.since
            unacknowledged += 1
            await asyncio.wait_for(websocket.send_json(page.status()), page.send_timeout)
            await asyncio.sleep(max(0.0, (tick + 1) * frames.interval(key) - loop.time()))
    except (WebSocketDisconnect, asyncio.TimeoutError, RuntimeError, OSError):
        pass  # the viewer left, or is too slow to keep: the others go on
    finally:
        page.viewers -= 1
        listener.cancel()


async def _not_found(request: Any, error: Any) -> Any:
    return _refused(f"no such page: {request.url.path}", error.status_code)


def create_app(page: Page) -> Any:
    """The Starlette application of ``page`` (kept as ``app.state.page``), behind its :class:`Gate`.

    :raises vexlo_tools._extras.MissingExtraError: the web extra is not installed.
    """
    require("starlette", "web", "vexlo serve")
    from starlette.applications import Starlette
    from starlette.middleware import Middleware
    from starlette.routing import Mount, Route, WebSocketRoute
    from starlette.staticfiles import StaticFiles

    _plotly_js()
    routes: List[Any] = [
        Route("/", index),
        Route("/vendor/plotly.min.js", plotly),
        Mount("/static", StaticFiles(directory=_static_dir()), name="static"),
        Route("/api/files", files),
        Route("/files/{name}", download),
        Route("/api/record/start", _controlled(_start), methods=["POST"]),
        Route("/api/record/stop", _controlled(_stop), methods=["POST"]),
        Route("/api/tare", _controlled(_tare), methods=["POST"]),
        Route("/api/untare", _controlled(_untare), methods=["POST"]),
        Route("/api/rate", _controlled(_rate), methods=["POST"]),
        WebSocketRoute("/ws", live),
    ]
    app = Starlette(routes=routes, middleware=[Middleware(Gate, token=page.token)],
                    exception_handlers={404: _not_found, 405: _not_found})
    app.state.page = page
    return app


class WebServer:
    """Serves an application with uvicorn on a thread of its own.

    :raises OSError: the address cannot be listened on (from :meth:`start`).
    """

    def __init__(self, app: Any, host: str = "127.0.0.1", port: int = 8765) -> None:
        uvicorn = require("uvicorn", "web", "vexlo serve")
        self.host, self.port = host, port
        config = uvicorn.Config(app, host=host, port=port, log_level="warning", ws="websockets-sansio",
                                lifespan="off", ws_ping_interval=5.0, ws_ping_timeout=SEND_TIMEOUT,
                                ws_max_size=MAX_BODY, ws_per_message_deflate=False)
        self._server = uvicorn.Server(config)
        self._thread: Optional[threading.Thread] = None

    def start(self) -> None:
        # Listening here, not in uvicorn, so that an address in use is one error, not a log record as well.
        try:
            family = socket.getaddrinfo(self.host or None, self.port, type=socket.SOCK_STREAM,
                                        flags=socket.AI_PASSIVE)[0][0]
            listening = socket.create_server((self.host, self.port), family=family)
        except OSError as error:
            why = os.strerror(error.errno) if error.errno else str(error)
            raise OSError(f"cannot listen on {self.host}:{self.port}: {why}") from error
        self._thread = threading.Thread(target=self._server.run, kwargs={"sockets": [listening]},
                                        name="vexlo web server", daemon=True)
        self._thread.start()
        while not self._server.started:
            if not self._thread.is_alive():
                raise OSError(f"cannot listen on {self.host}:{self.port}")
            self._thread.join(0.02)

    def stop(self) -> None:
        self._server.should_exit = True
        if self._thread is not None:
            self._thread.join()

    def __enter__(self) -> "WebServer":
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


def page_address(host: str, port: int, token: Optional[str]) -> str:
    """The page's address as the server prints it, with the token when one is needed.

    Listening on every address, it names this computer as the network knows it.
    """
    name = socket.gethostname() if host in ("", "0.0.0.0", "::") else host
    if ":" in name:
        name = f"[{name}]"
    return f"http://{name}:{port}/" + (f"?token={token}" if token else "")


def serve(ports: Optional[Sequence[str]] = None, models: Optional[Sequence[str]] = None, *,
          rate: Union[None, float, Sequence[Tuple[Optional[str], float]]] = None, seconds: Optional[float] = None,
          host: str = "127.0.0.1",
          http_port: int = 8765, token: Optional[str] = None, control: Optional[Union[str, os.PathLike[str]]] = None,
          max_viewers: int = MAX_VIEWERS, announce: Callable[[str], None] = print,
          stop: Optional[threading.Event] = None, limits: Optional[LimitSink] = None) -> int:
    """Stream the instruments found and show them on the live page until ``seconds`` of data or Ctrl-C.

    :param ports: the instruments on these ports (default: all found).
    :param models: only instruments of these models.
    :param rate: the sampling rate to set on every instrument (default: as they are), or
        (target, rate) pairs as ``vexlo serve --rate`` takes them: a target of ``None`` for every
        instrument, a model's name or a serial number.
    :param host: the address to listen on; other than this computer's own, a token is required.
    :param http_port: the port to listen on.
    :param token: the access token (generated when ``host`` is not loopback and none is given).
    :param control: a directory: the page may then start and stop recordings into it, tare and
        change the rate; without it the page is read-only.
    :param max_viewers: viewers served at once; one more is told so.
    :param announce: told the page's address once the server listens.
    :param stop: ends the run when set (from another thread), as Ctrl-C does.
    :param limits: alarms to raise: each event is also shown on its instrument's card and kept by
        the page's recording that is on.

    Without ``seconds`` the page outlives its instruments: one that vanishes is shown as lost,
    with the reason, while the others go on; once its port is back the streams start again as a
    new run (a recording that is on ends then). With none left, or none found, the page says so
    and the instruments are looked for again every :data:`RETRY_SECONDS`.

    :return: the exit status, 0 (1 if the last run failed).
    :raises OSError: the address cannot be listened on.
    :raises ValueError: a token shorter than 16 characters.
    :raises vexlo_tools._extras.MissingExtraError: the web extra is not installed.
    """
    from . import session
    token = needed_token(host, token)
    view = LiveView()
    recordings = Recordings(control) if control is not None else None
    restart = threading.Event()
    asked: Dict[str, Union[None, float, Sequence[Tuple[Optional[str], float]]]] = {"rate": rate}

    def set_rate(value: float, index: Optional[int] = None) -> None:
        facts = view.facts()
        chosen = facts if index is None else facts[index:index + 1]
        if not chosen or not all(value in f["rates"] for f in chosen):
            raise ValueError(f"not every instrument offers {value:g} samples/s" if index is None else
                             f"{chosen[0]['model']} {chosen[0]['serial_number']} offers no {value:g} samples/s"
                             if chosen else f"no instrument {index}")
        if index is None:
            asked["rate"] = value
        else:
            # One instrument's own rate, by its serial number; the others keep what was asked of them.
            before = asked["rate"]
            pairs = [] if before is None else [(None, float(before))] if isinstance(before, (int, float)) \
                else list(before)
            serial = str(chosen[0]["serial_number"])
            asked["rate"] = [(target, sps) for target, sps in pairs if target != serial] + [(serial, value)]
        restart.set()

    page = Page(view, recordings, set_rate if recordings is not None else None, token, max_viewers=max_viewers)
    if limits is not None:
        limits.subscribe(view.limit)
        if recordings is not None:
            limits.subscribe(recordings.limit)
    # The limits first: stopping finishes the sinks in order, so a recording gets every event before it closes.
    sinks = [sink for sink in (limits, view, recordings) if sink is not None]
    returns = _Returns(view)

    def stopping() -> bool:
        return stop is not None and stop.is_set()

    def over() -> bool:
        """Whether the run ends now: stopped, a new rate, or a lost instrument back on its port."""
        page.problem = None  # a run is on
        if not (restart.is_set() or stopping()) and returns.back():
            restart.set()
        return restart.is_set() or stopping()

    with WebServer(create_app(page), host, http_port), contextlib.closing(page.frames):
        announce(f"live page at {page_address(host, http_port, token)}")
        said: Optional[str] = None
        while True:
            restart.clear()
            generation = view.generation
            try:
                interrupted = session.run(sinks, ports=ports, models=models, rate=asked["rate"], seconds=seconds,
                                          until=over)
                if interrupted and seconds is not None:
                    raise KeyboardInterrupt  # cut short: everything is closed, the exit status says so
                status, failure = 0, None
            except Exception as error:  # every instrument lost, or none found: the page goes on
                failure, status = error, 1
            if stopping():
                return status
            if restart.is_set():
                continue
            # Ctrl-C ends the streams of this run still running as interrupted; a finite run ends as asked.
            interrupted = view.generation != generation and any(r == "interrupted" for _, r in view.ended())
            if failure is None or seconds is not None or interrupted:
                if failure is not None:
                    raise failure
                return status
            problem = f"{failure} (looking again every {RETRY_SECONDS:g} s)"
            if problem != said:  # said once, not at every look
                logger.error("%s", problem)
                said = problem
            page.problem = problem
            try:
                if stop is not None:
                    stop.wait(RETRY_SECONDS)
                else:
                    time.sleep(RETRY_SECONDS)
            except KeyboardInterrupt:
                return status


#: How often instruments are looked for again while none streams, and lost ports looked at.
RETRY_SECONDS = 2.0


class _Returns:
    """Whether an instrument lost from its port (the port gone from the system) is back on it."""

    def __init__(self, view: LiveView) -> None:
        self.view = view
        self.gone: Dict[str, bool] = {}
        self.looked = 0.0

    def back(self) -> bool:
        now = time.monotonic()
        if now - self.looked < RETRY_SECONDS / 2:
            return False
        self.looked = now
        lost = [port for port, reason in self.view.ended() if reason is not None and reason.startswith("failed")]
        if not lost:
            self.gone.clear()
            return False
        present = _ports_present()
        for port in lost:
            there = port in present or os.path.exists(port)
            if not there:
                self.gone[port] = True
            elif self.gone.pop(port, False):
                logger.warning("the instrument on %s is back: streaming again", port)
                return True
        return False


def _ports_present() -> set[str]:
    from serial.tools import list_ports
    return {port.device for port in list_ports.comports()}
