"""The live page's web application: Starlette routes and one websocket, served by uvicorn.

Everything the application uses is handed to :func:`create_app` (:class:`Page`); nothing is
global. Each viewer's websocket gets the frame of its window at most ``frames_per_second`` times a
second; the frame is built once per interval for all viewers with the same window and width, and a
viewer whose browser is slow only skips frames, as its sends wait on its own connection alone.

What is refused: a ``Host`` other than this computer's names while no token is set (so a page of
another site cannot reach the server through a name that resolves here); a missing or wrong token
where one is set; a websocket or control request whose ``Origin`` is another site's; control
requests without ``--control``, or whose body is not JSON (which a page of another site cannot send
without asking first); downloads of any name that is not a recording in the directory.
"""

from __future__ import annotations

import asyncio
import hmac
import ipaddress
import json
import logging
import os
import secrets
import socket
import threading
from dataclasses import dataclass, field
from importlib import resources
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union
from urllib.parse import urlsplit

from ._extras import require
from .live import MAX_WINDOW, MIN_WINDOW, LiveView, Recordings

__all__ = ["Page", "WebServer", "create_app", "is_loopback", "page_address", "serve"]

logger = logging.getLogger(__name__)

#: A viewer whose browser takes longer than this to take one frame is disconnected.
SEND_TIMEOUT = 10.0
#: Frames a viewer may have been sent and not yet drawn.
FRAMES_IN_FLIGHT = 2
LOOPBACK_NAMES = ("localhost", "127.0.0.1", "::1")


def is_loopback(host: str) -> bool:
    """Whether ``host`` (a name or address to listen on) is this computer only."""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


@dataclass
class Page:
    """What the application serves and may do.

    :ivar view: the live view the frames are built from.
    :ivar recordings: where recordings started from the page go; ``None`` without ``--control``.
    :ivar set_rate: changes the instruments' rate (restarting the stream); ``None`` without ``--control``.
    :ivar token: the access token every request must carry (``?token=`` or the ``X-Vexlo-Token``
        header); ``None`` on loopback without ``--token``.
    :ivar frames_per_second: the most frames a viewer gets.
    """

    view: LiveView
    recordings: Optional[Recordings] = None
    set_rate: Optional[Callable[[float], None]] = None
    token: Optional[str] = None
    frames_per_second: float = 12.0
    _frames: Dict[Tuple[float, int], Tuple[int, bytes]] = field(default_factory=dict)

    @property
    def control(self) -> bool:
        return self.recordings is not None

    def frame(self, seconds: float, columns: int, tick: int) -> bytes:
        """The frame of a window for this interval, built by the first viewer who asks."""
        key = (seconds, columns)
        cached = self._frames.get(key)
        if cached is None or cached[0] != tick:
            if len(self._frames) > 64:
                self._frames.clear()
            cached = (tick, self.view.frame(seconds, columns))
            self._frames[key] = cached
        return cached[1]

    def hello(self) -> Dict[str, Any]:
        """What a viewer needs once (and again when the instruments change)."""
        return {"type": "hello", "instruments": self.view.facts(), "control": self.control,
                "generation": self.view.generation, "window": [MIN_WINDOW, MAX_WINDOW],
                "formats": Recordings.suffixes() if self.control else []}

    def status(self) -> Dict[str, Any]:
        recording = self.recordings.status() if self.recordings is not None else None
        return {"type": "status", "recording": recording}


def _static_dir() -> Path:
    return Path(str(resources.files("vexlo_tools") / "static"))


def _plotly_js() -> Path:
    require("plotly", "web", "vexlo serve")
    return Path(str(resources.files("plotly") / "package_data" / "plotly.min.js"))


def create_app(page: Page) -> Any:
    """The Starlette application of ``page``.

    :raises vexlo_tools._extras.MissingExtraError: the web extra is not installed.
    """
    require("starlette", "web", "vexlo serve")
    from starlette.applications import Starlette
    from starlette.requests import HTTPConnection, Request
    from starlette.responses import FileResponse, JSONResponse, Response
    from starlette.routing import Mount, Route, WebSocketRoute
    from starlette.staticfiles import StaticFiles
    from starlette.websockets import WebSocket, WebSocketDisconnect

    plotly_js = _plotly_js()

    def refusal(connection: HTTPConnection, write: bool) -> Optional[str]:
        """Why the request is refused, or ``None``."""
        host = connection.headers.get("host", "")
        if page.token is None and urlsplit("//" + host).hostname not in LOOPBACK_NAMES:
            return "this address serves only this computer"
        if page.token is not None:
            given = connection.query_params.get("token") or connection.headers.get("x-vexlo-token") or ""
            if not hmac.compare_digest(given.encode(), page.token.encode()):
                return "a valid token is required"
        origin = connection.headers.get("origin")
        if write and origin is not None and urlsplit(origin).netloc != host:
            return "requests from another site are refused"
        return None

    def refused(reason: str, status: int = 403) -> Response:
        logger.warning("refused: %s", reason)
        return JSONResponse({"error": reason}, status_code=status)

    async def index(request: Request) -> Response:
        reason = refusal(request, write=False)
        if reason:
            return refused(reason)
        return FileResponse(_static_dir() / "live.html", headers={"Cache-Control": "no-store"})

    async def plotly(request: Request) -> Response:
        return FileResponse(plotly_js, headers={"Cache-Control": "max-age=86400"})

    def controlled(action: Callable[[Dict[str, Any]], Any]) -> Callable[[Request], Any]:
        async def endpoint(request: Request) -> Response:
            reason = refusal(request, write=True)
            if reason:
                return refused(reason)
            if not page.control:
                return refused("this page is read-only (the server was started without --control)")
            if request.headers.get("content-type", "").split(";")[0].strip() != "application/json":
                return refused("control requests carry JSON", 415)
            try:
                body = await request.json()
                if not isinstance(body, dict):
                    raise ValueError("the body must be a JSON object")
                answer = await asyncio.to_thread(action, body)
            except (ValueError, TypeError, KeyError) as error:
                return refused(str(error), 400)
            return JSONResponse({"ok": True, **(answer or {})})
        return endpoint

    def start(body: Dict[str, Any]) -> Dict[str, Any]:
        assert page.recordings is not None
        return {"file": page.recordings.start(str(body.get("format", ".h5")))}

    def stop(body: Dict[str, Any]) -> Dict[str, Any]:
        assert page.recordings is not None
        return {"file": page.recordings.stop()}

    def rate(body: Dict[str, Any]) -> None:
        assert page.set_rate is not None
        page.set_rate(float(body["rate"]))

    async def listing(request: Request) -> Union[Response, Dict[str, Path]]:
        """The recordings by name, or the refusal of a request for them or for one of them."""
        reason = refusal(request, write=False)
        if reason:
            return refused(reason)
        if page.recordings is None:
            return refused("no recordings without --control")
        return await asyncio.to_thread(page.recordings.files)

    async def files(request: Request) -> Response:
        listed = await listing(request)
        if isinstance(listed, Response):
            return listed
        return JSONResponse({"files": [{"name": name, "size": path.stat().st_size} for name, path in listed.items()]})

    async def download(request: Request) -> Response:
        listed = await listing(request)
        if isinstance(listed, Response):
            return listed
        # The name only picks an entry of the listing; it never becomes a path itself.
        path = listed.get(request.path_params["name"])
        if path is None:
            return refused("no such recording", 404)
        return FileResponse(path, filename=path.name)

    async def live(websocket: WebSocket) -> None:
        reason = refusal(websocket, write=True)
        if reason:
            logger.warning("refused a viewer: %s", reason)
            await websocket.close(code=1008, reason=reason)
            return
        await websocket.accept()
        wanted = {"window": 10.0, "columns": 800}
        # Frames sent and not yet drawn: a browser that falls behind gets no more until it has
        # drawn, so it skips frames rather than queueing them (and the latency with them).
        unacknowledged = 0
        drawn = asyncio.Event()

        async def listen() -> None:
            nonlocal unacknowledged
            try:
                while True:
                    message = json.loads(await websocket.receive_text())
                    if isinstance(message, dict):
                        for key, kind in (("window", float), ("columns", int)):
                            if isinstance(message.get(key), (int, float)):
                                wanted[key] = kind(message[key])
                        if isinstance(message.get("drawn"), int):
                            unacknowledged = max(0, unacknowledged - message["drawn"])
                            drawn.set()
            except (WebSocketDisconnect, ValueError, OverflowError, RuntimeError):
                pass  # the viewer left or spoke nonsense: its frames end with this

        listener = asyncio.create_task(listen())
        interval = 1.0 / page.frames_per_second
        loop = asyncio.get_running_loop()
        generation = -1
        try:
            while not listener.done():
                if generation != page.view.generation:
                    generation = page.view.generation
                    await asyncio.wait_for(websocket.send_json(page.hello()), SEND_TIMEOUT)
                if unacknowledged >= FRAMES_IN_FLIGHT:
                    drawn.clear()
                    # A hidden page draws nothing and waits here, costing nothing, until shown again.
                    await asyncio.wait([listener, asyncio.ensure_future(drawn.wait())], timeout=interval,
                                       return_when=asyncio.FIRST_COMPLETED)
                    continue
                tick = int(loop.time() / interval)
                data = page.frame(float(wanted["window"]), int(wanted["columns"]), tick)
                await asyncio.wait_for(websocket.send_bytes(data), SEND_TIMEOUT)
                unacknowledged += 1
                await asyncio.wait_for(websocket.send_json(page.status()), SEND_TIMEOUT)
                await asyncio.sleep(max(0.0, (tick + 1) * interval - loop.time()))
        except (WebSocketDisconnect, asyncio.TimeoutError, RuntimeError, OSError):
            pass  # the viewer left, or is too slow to keep: the others go on
        finally:
            listener.cancel()

    routes: List[Any] = [
        Route("/", index),
        Route("/vendor/plotly.min.js", plotly),
        Mount("/static", StaticFiles(directory=_static_dir()), name="static"),
        Route("/api/files", files),
        Route("/files/{name}", download),
        Route("/api/record/start", controlled(start), methods=["POST"]),
        Route("/api/record/stop", controlled(stop), methods=["POST"]),
        Route("/api/tare", controlled(lambda body: page.view.tare()), methods=["POST"]),
        Route("/api/untare", controlled(lambda body: page.view.untare()), methods=["POST"]),
        Route("/api/rate", controlled(rate), methods=["POST"]),
        WebSocketRoute("/ws", live),
    ]
    return Starlette(routes=routes)


class WebServer:
    """Serves an application with uvicorn on a thread of its own.

    :raises OSError: the address cannot be listened on (from :meth:`start`).
    """

    def __init__(self, app: Any, host: str = "127.0.0.1", port: int = 8765) -> None:
        uvicorn = require("uvicorn", "web", "vexlo serve")
        self.host, self.port = host, port
        config = uvicorn.Config(app, host=host, port=port, log_level="warning", ws="websockets-sansio",
                                lifespan="off", ws_ping_interval=5.0, ws_ping_timeout=SEND_TIMEOUT)
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
          announce: Callable[[str], None] = print, stop: Optional[threading.Event] = None) -> int:
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
    :param announce: told the page's address once the server listens.
    :param stop: ends the run when set (from another thread), as Ctrl-C does.
    :return: the exit status, 0.
    :raises OSError: the address cannot be listened on.
    :raises vexlo_tools._extras.MissingExtraError: the web extra is not installed.
    """
    from . import session
    if token is None and not is_loopback(host):
        token = secrets.token_urlsafe(16)
    view = LiveView()
    recordings = Recordings(control) if control is not None else None
    restart = threading.Event()
    asked = {"rate": rate}

    def set_rate(value: float) -> None:
        offered = [set(f["rates"]) for f in view.facts()]
        if not offered or not all(value in rates for rates in offered):
            raise ValueError(f"not every instrument offers {value:g} samples/s")
        asked["rate"] = value
        restart.set()

    page = Page(view, recordings, set_rate if recordings is not None else None, token)
    sinks = [sink for sink in (view, recordings) if sink is not None]
    with WebServer(create_app(page), host, http_port):
        announce(f"live page at {page_address(host, http_port, token)}")
        while True:
            restart.clear()
            interrupted = session.run(sinks, ports=ports, models=models, rate=asked["rate"], seconds=seconds,
                                      until=lambda: restart.is_set() or (stop is not None and stop.is_set()))
            if interrupted and seconds is not None:
                raise KeyboardInterrupt  # cut short: everything is closed, the exit status says so
            if not restart.is_set() or (stop is not None and stop.is_set()):
                return 0
