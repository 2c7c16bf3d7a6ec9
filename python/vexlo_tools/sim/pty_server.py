"""Simulated instruments on pseudo-terminals (Linux; other POSIX systems may work).

:class:`PtyServer` gives each instrument a pseudo-terminal in raw mode and
answers on its master side from one background thread, so any program can
open the slave device (``/dev/pts/N``) with real pyserial and exercise the
operating system's serial layer end to end.

Line speed: a pseudo-terminal carries bytes at any speed, but the speed
the client sets is visible on the master side (``TCGETS2``, falling back
to the standard ``termios`` speeds). The server uses it to apply the
instruments' baud-rate rule: at a rate the model does not use, requests
go unanswered and nothing is sent. Where the speed cannot be read, the
server answers at any rate and says so once in the log
(``baud_rate_visible`` tells which case holds).
"""

from __future__ import annotations

import array
import errno
import logging
import os
import select
import stat
import struct
import threading
import time
from typing import Dict, List, Optional, Sequence

try:
    import fcntl
    import termios
    import tty
except ImportError:  # not a POSIX system: the in-process simulator still works
    HAVE_PSEUDO_TERMINALS = False
else:
    HAVE_PSEUDO_TERMINALS = hasattr(os, "openpty")

from .instrument import SimulatedInstrument
from .transport import LineSplit

__all__ = ["PtyServer", "OUTPUT_BACKLOG", "HAVE_PSEUDO_TERMINALS"]

logger = logging.getLogger("vexlo_tools.sim")

#: Bytes the server holds for a client that does not read, beyond what the
#: kernel buffers. Past it the server stops taking the instrument's output,
#: as a USB host stops polling a device: stream samples then wait in the
#: instrument's FIFO, which drops the newest and counts them.
OUTPUT_BACKLOG = 4096

# struct termios2 on Linux: four flag words, c_line, c_cc[19], then the two speeds.
_TCGETS2 = getattr(termios, "TCGETS2", 0x802C542A) if HAVE_PSEUDO_TERMINALS else 0
_TERMIOS2_SIZE = 44
_SPEED_OFFSET = 36

_STANDARD_SPEEDS = {
    getattr(termios, name): int(name[1:])
    for name in (dir(termios) if HAVE_PSEUDO_TERMINALS else [])
    if name.startswith("B") and name[1:].isdigit()
}


def _line_speed(fd: int) -> Optional[int]:
    """The output speed a client set on the pseudo-terminal, or ``None``."""
    try:
        buf = array.array("B", bytes(64))
        fcntl.ioctl(fd, _TCGETS2, buf, True)
        ispeed, ospeed = struct.unpack_from("=II", buf.tobytes(), _SPEED_OFFSET)
        if ospeed:
            return int(ospeed)
    except OSError:
        pass
    try:
        speed: Optional[int] = _STANDARD_SPEEDS.get(termios.tcgetattr(fd)[5])
        return speed
    except termios.error:
        return None


def _what_is_at(path: str) -> str:
    """What a path names, for a refusal: a link and where it leads, or the kind of file."""
    if os.path.islink(path):
        target = os.readlink(path)
        if not os.path.exists(path):
            return f"a link to {target}, which does not exist"
        return f"a link to {target}, {_kind_of(os.path.realpath(path))}"
    return _kind_of(path)


def _kind_of(path: str) -> str:
    try:
        mode = os.stat(path).st_mode
    except OSError as exc:
        return f"a file that cannot be examined ({exc.strerror})"
    if stat.S_ISCHR(mode) and path.startswith("/dev/pts/"):
        return "a pseudo-terminal (perhaps a port of another running server)"
    kinds = ((stat.S_ISREG, "a regular file"), (stat.S_ISDIR, "a directory"), (stat.S_ISCHR, "a character device"),
             (stat.S_ISFIFO, "a pipe"), (stat.S_ISSOCK, "a socket"), (stat.S_ISBLK, "a block device"))
    return next((text for test, text in kinds if test(mode)), "a special file")


def _refusal(link: str, force: bool) -> str:
    advice = "" if force or not os.path.islink(link) else "; --force takes a link over"
    return f"{link} is {_what_is_at(link)}: not replacing what this server did not create{advice}"


class _Port:
    def __init__(self, index: int, instrument: SimulatedInstrument) -> None:
        self.index = index
        self.instrument = instrument
        self.master: Optional[int] = None
        self.slave: Optional[int] = None
        self.path: Optional[str] = None
        self.link: Optional[str] = None
        self.pending = bytearray()
        self.line = LineSplit()
        # Bytes the server itself wrote into the host-to-instrument direction
        # to fill it while the instrument does not read; skipped on resuming.
        self.filler = 0
        self.stopped = False

    def open(self) -> None:
        master, slave = os.openpty()
        tty.setraw(slave)
        os.set_blocking(master, False)
        self.master, self.slave = master, slave
        self.path = os.ttyname(slave)
        self.pending.clear()
        self.line = LineSplit()
        self.filler = 0
        self.stopped = False

    def fill_line(self) -> None:
        """Fill the line from the host with filler bytes, so the host's next write blocks."""
        assert self.slave is not None  # only open ports are filled
        os.set_blocking(self.slave, False)
        chunk = b"\xff" * 4096
        while True:
            try:
                written = os.write(self.slave, chunk)
            except (BlockingIOError, InterruptedError):
                return
            if not written:
                return
            self.filler += written

    def close(self) -> None:
        # The server keeps a slave descriptor of its own so that the master
        # does not see a hangup between clients; both go when the port does.
        for fd in (self.master, self.slave):
            if fd is not None:
                try:
                    os.close(fd)
                except OSError:
                    pass
        self.master = self.slave = None


class PtyServer:
    """Serve simulated instruments on pseudo-terminals.

    As a context manager it starts serving and yields the port paths, in
    the order the instruments were given, and stops on exit::

        from vexlo_tools.sim import PtyServer, SimulatedInstrument
        import serial

        with PtyServer([SimulatedInstrument.mvr420()]) as (path,):
            port = serial.Serial(port=path, baudrate=320000, timeout=1)
            port.write(bytes.fromhex("0005010111"))  # model number request
            print(port.read(15))

    Requests that are malformed, of unknown commands or at a wrong line
    speed get no answer (as a real instrument stays silent) and are logged
    on the ``vexlo_tools.sim`` logger; nothing raises in the serving
    thread. Streaming runs in real time. An instrument's ``unplug()``
    closes its pseudo-terminal (clients then fail like on a vanished USB
    device); ``plug_in()`` gives it a new one, under a new path.

    :param instruments: the instruments, one pseudo-terminal each.
    :param enforce_baud_rate: apply each model's baud-rate rule when the
        line speed is visible; ``False`` answers at any rate.
    :param link_prefix: if given, also create symlinks ``<prefix>0``,
        ``<prefix>1``, ... to the ports, which stay stable across
        unplug/plug-in. Nothing already at a link's name is ever
        removed: the server refuses to start and says what is there (a
        link that leads elsewhere or nowhere, a file), unless
        ``force_links`` and it is a link. On stopping, a link is removed
        only while it still leads to this server's port.
    :param force_links: take over links at the names (another server's,
        or stale ones); files that are not links are never touched.
    :param split_reads: hold back the last 1 to 5 bytes of what each
        instrument sends until the server's next turn (a few milliseconds),
        so that reads end inside stream packets at every byte, as when
        bytes are still on the line.
    :raises NotImplementedError: on a system without pseudo-terminals
        (Windows); the in-process simulator works everywhere.
    """

    def __init__(
        self,
        instruments: Sequence[SimulatedInstrument],
        *,
        enforce_baud_rate: bool = True,
        link_prefix: Optional[str] = None,
        force_links: bool = False,
        split_reads: bool = False,
    ) -> None:
        if not HAVE_PSEUDO_TERMINALS:
            raise NotImplementedError(
                "PtyServer needs a POSIX system (Linux, macOS) for its pseudo-terminals; "
                "on this system use the in-process simulator, vexlo_tools.sim.simulated_ports")
        if not instruments:
            raise ValueError("give at least one instrument to serve")
        self._ports = [_Port(i, inst) for i, inst in enumerate(instruments)]
        self.enforce_baud_rate = enforce_baud_rate
        self.link_prefix = link_prefix
        self.force_links = force_links
        self.split_reads = split_reads
        self.baud_rate_visible: Optional[bool] = None
        self._thread: Optional[threading.Thread] = None
        self._stop = threading.Event()
        self._wake_r: Optional[int] = None
        self._wake_w: Optional[int] = None
        self._lock = threading.Lock()

    # ------------------------------------------------------------- lifecycle

    @property
    def paths(self) -> List[str]:
        """Current slave device path of each instrument (``""`` while unplugged)."""
        with self._lock:
            return [p.path or "" for p in self._ports]

    @property
    def links(self) -> List[Optional[str]]:
        """Symlink of each instrument's port, when ``link_prefix`` was given."""
        return [p.link for p in self._ports]

    @property
    def ports(self) -> Dict[str, SimulatedInstrument]:
        """Path -> instrument, for the instruments currently plugged in."""
        with self._lock:
            return {p.path: p.instrument for p in self._ports if p.path}

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def start(self) -> List[str]:
        """Create the pseudo-terminals and start serving; return their paths.

        :raises FileExistsError: a link path is taken: not a link, or (without
            ``force_links``) a link to another server's live port.
        """
        if self._thread is not None:
            raise RuntimeError("server already started")
        self._check_links()
        with self._lock:
            for port in self._ports:
                port.instrument.bind_clock(time.monotonic(), real=True)
                if port.instrument.plugged_in:
                    self._open_port(port)
            probe = next((p.master for p in self._ports if p.master is not None), None)
        self.baud_rate_visible = probe is not None and _line_speed(probe) is not None
        if self.enforce_baud_rate and not self.baud_rate_visible:
            logger.warning("line speed not visible on pseudo-terminals: answering at any baud rate")
        self._wake_r, self._wake_w = os.pipe()
        self._stop.clear()
        self._thread = threading.Thread(target=self._serve, name="vexlo-sim-pty", daemon=True)
        self._thread.start()
        logger.info("serving %d simulated instrument(s): %s", len(self._ports), ", ".join(self.paths))
        return self.paths

    def stop(self) -> None:
        """Stop serving and close every pseudo-terminal; safe to call twice."""
        if self._thread is None:
            return
        self._stop.set()
        assert self._wake_w is not None  # open while the thread runs
        try:
            os.write(self._wake_w, b"x")
        except OSError:
            pass
        self._thread.join(timeout=5)
        self._thread = None
        with self._lock:
            for port in self._ports:
                self._close_port(port)
        for fd in (self._wake_r, self._wake_w):
            if fd is not None:
                os.close(fd)
        self._wake_r = self._wake_w = None
        logger.info("simulated instruments stopped")

    def __enter__(self) -> List[str]:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def _link_name(self, port: _Port) -> str:
        return f"{self.link_prefix}{port.index}"

    def _check_links(self) -> None:
        if self.link_prefix is None:
            return
        for port in self._ports:
            link = self._link_name(port)
            if os.path.lexists(link) and not (self.force_links and os.path.islink(link)):
                raise FileExistsError(errno.EEXIST, _refusal(link, self.force_links))

    def _open_port(self, port: _Port) -> None:
        port.open()
        if self.link_prefix is not None:
            link = self._link_name(port)
            assert port.path is not None  # set by open()
            port.link = None
            try:
                if self.force_links and os.path.islink(link):
                    os.unlink(link)
                # Never over anything: what is at the name now was not made by this server.
                os.symlink(port.path, link)
                port.link = link
            except FileExistsError:
                logger.warning("not creating the link: %s", _refusal(link, self.force_links))
            except OSError as exc:
                logger.warning("cannot create link %s: %s", link, exc)

    def _close_port(self, port: _Port) -> None:
        path = port.path
        port.close()
        port.path = None
        if port.link is None:
            return
        try:
            # Another server may have taken the link over since: leave its link alone.
            if os.readlink(port.link) == path:
                os.unlink(port.link)
        except OSError:
            pass

    # ---------------------------------------------------------------- serving

    def _serve(self) -> None:
        while not self._stop.is_set():
            try:
                self._serve_once()
            except Exception:  # the serving thread must outlive any one bad moment
                logger.exception("simulated instrument server: unexpected error")
                time.sleep(0.01)

    def _serve_once(self) -> None:
        with self._lock:
            self._track_plugging()
            readers = [p.master for p in self._ports if p.master is not None and p.instrument.reading]
            writers = [p.master for p in self._ports if p.master is not None and p.pending]
            streaming = any(p.instrument.streaming for p in self._ports)
        assert self._wake_r is not None  # open while the thread runs
        readers.append(self._wake_r)
        # Short ticks while streaming keep packets flowing smoothly.
        timeout = 0.002 if streaming else 0.05
        readable, writable, _ = select.select(readers, writers, [], timeout)
        if self._wake_r in readable:
            os.read(self._wake_r, 64)
        now = time.monotonic()
        with self._lock:
            for port in self._ports:
                if port.master is None:
                    continue
                try:
                    self._serve_port(port, port.master in readable, now)
                except Exception:
                    logger.exception("%s: error while serving %s", port.instrument, port.path)

    def _track_plugging(self) -> None:
        for port in self._ports:
            plugged = port.instrument.plugged_in
            if port.master is not None and not plugged:
                logger.info("%s: unplugged from %s", port.instrument, port.path)
                self._close_port(port)
            elif port.master is None and plugged and not self._stop.is_set():
                self._open_port(port)
                logger.info("%s: plugged in at %s", port.instrument, port.path)

    def _speed_ok(self, port: _Port) -> bool:
        if not (self.enforce_baud_rate and self.baud_rate_visible):
            return True
        assert port.master is not None  # only open ports are served
        return port.instrument.answers_at(_line_speed(port.master))

    def _serve_port(self, port: _Port, readable: bool, now: float) -> None:
        instrument = port.instrument
        master = port.master
        assert master is not None  # only open ports are served
        if not instrument.reading:
            if not port.stopped:
                # Take in what came before the instrument stopped, then fill the line.
                self._receive(port, self._read_master(master), now)
                port.fill_line()
                port.stopped = True
            readable = False
        else:
            port.stopped = False
        if readable:
            self._receive(port, self._read_master(master), now)
        self._send(port, now)

    @staticmethod
    def _read_master(master: int) -> bytes:
        try:
            return os.read(master, 65536)
        except (BlockingIOError, InterruptedError):
            return b""

    def _receive(self, port: _Port, data: bytes, now: float) -> None:
        skipped = min(port.filler, len(data))
        port.filler -= skipped
        data = data[skipped:]
        if not data:
            return
        if self._speed_ok(port):
            port.instrument.receive(data, now)
        else:
            assert port.master is not None  # only open ports are served
            logger.debug("%s: %d byte(s) at %s baud, which %s does not understand",
                         port.path, len(data), _line_speed(port.master), port.instrument.model)

    def _send(self, port: _Port, now: float) -> None:
        instrument = port.instrument
        master = port.master
        assert master is not None  # only open ports are served
        if len(port.pending) < OUTPUT_BACKLOG:
            out = instrument.transmit(now)
            if self.split_reads:
                out = port.line(out)
            if out and self._speed_ok(port):
                port.pending += out
        else:
            instrument.advance(now)
        if port.pending:
            try:
                written = os.write(master, port.pending)
            except (BlockingIOError, InterruptedError):
                written = 0
            del port.pending[:written]

