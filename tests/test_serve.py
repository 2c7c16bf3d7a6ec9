"""vexlo serve: the live view's arithmetic and recordings, what the server refuses, and the page in Chromium."""
import http.client
import json
import math
import os
import shutil
import socket
import struct
import threading
import time
from datetime import datetime, timedelta, timezone
from types import SimpleNamespace

import numpy as np
import pytest

from vexlo_tools import engine, live, recording
from vexlo_tools.live import Columns, LiveView, Recordings, Trace
from vexlo_tools.types import Block, Stats, StreamEnd, StreamInfo
from vexlo_tools.web import Page, WebServer, create_app, serve


def stream(serial=20240001, rate=1000.0):
    device = SimpleNamespace(_teds_data=None, get_adc_converter=lambda: None)
    return StreamInfo(device=device, port="sim0", model="PLX310", item_number="QMT31872", serial_number=serial,
                      firmware="4.3.2", rate_code=9, samples_per_second=rate, packet_size=4, unit="N",
                      start_utc=datetime.now(timezone.utc))


def block(values, first=0, index=0, received=None, missing=0):
    values = np.asarray(values, np.float64)
    return Block(device=None, first_index=first, time=(first + np.arange(len(values))) / 1000.0,
                 adc=np.zeros(len(values), np.uint32), value=values,
                 stats=Stats(received=received if received is not None else first + len(values), missing=missing),
                 index=index)


def decode(frame):
    """The head and, per instrument, the minimum and maximum of each column a frame carries."""
    frame = getattr(frame, "data", frame)
    length, = struct.unpack_from("<I", frame)
    head = json.loads(frame[4:4 + length])
    offset, charts = 4 + length, []
    for entry in head["instruments"]:
        n = entry["points"]
        data = np.frombuffer(frame, "<f4", 2 * n, offset)
        charts.append((data[:n], data[n:]))
        offset += 8 * n
    assert offset == len(frame)
    return head, charts


def scratch(values, width):
    """Minimum, maximum and sum of every complete column of ``width`` samples, from the samples themselves."""
    whole = values[:len(values) // width * width].reshape(-1, width)
    return whole.min(axis=1), whole.max(axis=1), whole.sum(axis=1)


@pytest.mark.parametrize("width, length", [(1, 10), (7, 50), (480, 12)])
@pytest.mark.parametrize("block", [1, 5, 7, 1000, 3001])  # within a column, spanning several, on and off their bounds
def test_columns_kept_as_samples_arrive_are_those_computed_from_scratch(width, length, block):
    values = np.random.default_rng(width + block).normal(100.0, 5.0, 3 * width * length + 11)
    columns = Columns(width, length)
    for start in range(0, len(values), block):
        columns.add(values[start:start + block])
        taken = values[:start + block]
        done = len(taken) // width
        assert columns.done == done and columns.count == len(taken)
        n = min(done, length - 1)
        low, high, sums = columns.tail(done, n)
        ref_low, ref_high, ref_sum = scratch(taken[(done - n) * width:done * width], width)
        np.testing.assert_array_equal(low, ref_low)
        np.testing.assert_array_equal(high, ref_high)
        np.testing.assert_allclose(sums, ref_sum, rtol=1e-12)
        partial = taken[done * width:]
        if len(partial):  # the column being filled holds what it has so far
            assert columns.tail(done + 1, 1)[0][0] == partial.min() and columns.tail(done + 1, 1)[1][0] == partial.max()


@pytest.mark.parametrize("rate, seconds, columns, chunk", [
    (1000.0, 5.0, 300, 37),          # seeded from the samples themselves
    (38400.0, 120.0, 200, 20000),    # seeded from buckets: more than the samples kept at full resolution
    (38400.0, 600.0, 3200, 38400),
    (2.5, 600.0, 200, 1),            # a slow instrument: ten minutes are a few samples
])
def test_a_window_asked_for_late_is_seeded_from_what_is_kept_then_kept_up_to_date(rate, seconds, columns, chunk):
    trace = Trace(rate)
    total = int(rate * seconds * 1.5) + 7
    values = np.random.default_rng(1).normal(100.0, 5.0, 2 * total)
    for start in range(0, total, chunk):
        trace.add(values[start:min(total, start + chunk)])
    view = trace.columns(seconds, columns)
    width = view.width
    assert width >= rate * seconds / columns and (width * (columns + 1) < rate * seconds * 1.2 or width == 1 or
                                                  width % trace.bucket == 0)
    for end in (total, 2 * total):
        for start in range(total, end, chunk):
            trace.add(values[start:min(end, start + chunk)])
        done = end // width
        n = min(done - view.first, math.ceil(seconds * rate / width))
        assert view.done == done and n >= min(done, seconds * rate / width - 1)
        low, high, sums = view.tail(done, n)
        ref_low, ref_high, ref_sum = (r[done - n:] for r in scratch(values[:end], width))
        np.testing.assert_array_equal(low, ref_low)
        np.testing.assert_array_equal(high, ref_high)
        np.testing.assert_allclose(sums, ref_sum, rtol=1e-9)


def test_a_window_nobody_asks_for_is_no_longer_kept():
    now = [0.0]
    trace = Trace(1000.0, clock=lambda: now[0])
    trace.add(np.ones(5000))
    kept = trace.columns(10.0, 200)
    assert trace.columns(10.0, 200) is kept
    now[0] += 11.0
    trace.add(np.ones(10))
    assert trace.columns(10.0, 200) is not kept


def drawn(frames, index=0):
    """What a page draws of instrument ``index`` from ``frames`` taken in order: (column, low, high) of each column."""
    chart = {}
    for frame in frames:
        head, charts = decode(frame)
        entry = head["instruments"][index]
        if entry["whole"]:
            chart = {}
        for j, (low, high) in enumerate(zip(*charts[index])):
            chart[entry["first"] + j] = (low, high)
    return chart


@pytest.mark.parametrize("columns", [100, 1600])
def test_frames_carry_only_what_changed_and_add_up_to_the_whole_window(columns):
    view = LiveView(clock=lambda: 1.0)
    view.open([stream(1), stream(2, rate=2000.0)])
    values = np.random.default_rng(3).normal(50.0, 3.0, 40000)
    frames, since, first = [], None, 0
    for step, size in enumerate([333, 1, 2000, 57, 9000, 7345, 4000, 1]):  # each less than the window
        view.write(block(values[first:first + size], first=first))
        view.write(block(values[first:first + size] * 2, first=first, index=1))
        first += size
        frame = view.frame(10.0, columns, since)
        head, charts = decode(frame)
        if step:  # after the first: only new columns, never the whole window again
            assert not any(entry["whole"] for entry in head["instruments"])
            assert all(entry["points"] <= size // (10000 // columns) + 1 for entry in head["instruments"])
        frames.append(frame)
        since = frame.since
    whole = view.frame(10.0, columns)
    for index in (0, 1):
        window = drawn([whole], index)
        assert list(window) == list(range(min(window), max(window) + 1))
        # What the frames drew, beyond the window's start (the page drops those points), is the whole window.
        assert {k: v for k, v in drawn(frames, index).items() if k >= min(window)} == window
        entry = decode(whole)[0]["instruments"][index]
        shown = np.array(list(drawn([whole], index).values()))
        assert (entry["min"], entry["max"]) == pytest.approx((shown.min(), shown.max()), rel=1e-6)
    # A tare changes every value shown: the next frame is the whole window again, tared.
    view.tare(0)
    head, charts = decode(view.frame(10.0, columns, since))
    assert head["instruments"][0]["whole"] and not head["instruments"][1]["whole"]
    assert abs((charts[0][0] + charts[0][1]).mean() / 2) < 1 and head["instruments"][0]["points"] > 0
    # So is a frame after more than a window of new samples.
    view.write(block(values[:25000], first=first, index=1))
    assert [e["whole"] for e in decode(view.frame(10.0, columns, since))[0]["instruments"]] == [True, True]
    # And one of new instruments.
    view.open([stream(3)])
    assert decode(view.frame(10.0, columns, since))[0]["instruments"][0]["whole"]


def test_frames_carry_figures_tare_counters_ends_and_the_samples_not_shown():
    view = LiveView(clock=lambda: 12.5)
    view.open([stream(1), stream(2)])
    view.write(block(np.full(500, 250.0)))
    view.write(block(np.full(100, 251.0), first=800))  # 300 samples dropped for the page
    view.write(block([12.5, 12.5], index=1))
    view.end(1, StreamEnd("failed: the port is gone", False, datetime.now(timezone.utc),
                          datetime.now(timezone.utc), Stats(received=2)))
    view.tare()
    head, charts = decode(view.frame(10.0, 100))
    first, second = head["instruments"]
    assert head["time"] == 12.5 and head["generation"] == 1
    assert first["dropped"] == 300 and first["samples"] == 600 and first["counters"]["received"] == 900
    assert first["zero"] == pytest.approx((500 * 250.0 + 100 * 251.0) / 600)  # the last second, all there is
    assert first["value"] == pytest.approx(251.0 - first["zero"])
    assert charts[0][1].max() == pytest.approx(first["max"], rel=1e-6)
    assert second["ended"] == "failed: the port is gone" and second["value"] == 0.0
    view.untare()
    head, charts = decode(view.frame(10.0, 100))
    assert head["instruments"][0]["value"] == 251.0 and head["instruments"][0]["zero"] == 0.0


@pytest.mark.parametrize("watched_seconds, patient_again", [(live.WATCHED_SECONDS, False), (0.0, True)])
def test_the_page_sink_is_patient_while_nobody_watches(monkeypatch, watched_seconds, patient_again):
    """No frame asked for: the engine may let samples gather for a quarter second; a frame brings back its pace."""
    monkeypatch.setattr(live, "WATCHED_SECONDS", watched_seconds)
    view = LiveView()
    view.open([stream(1)])
    view.tick([Stats()])
    assert view.latency_seconds == live.UNWATCHED_LATENCY_SECONDS > engine.LATENCY_SECONDS
    view.frame(10.0, 100)
    assert view.latency_seconds == engine.LATENCY_SECONDS
    view.tick([Stats()])  # the engine's ticks look at whether anyone still watches
    assert (view.latency_seconds == live.UNWATCHED_LATENCY_SECONDS) == patient_again


@pytest.mark.parametrize("level", [12.5000001, 0.1, 250.3])
def test_after_a_tare_the_page_shows_the_same_signal_as_exactly_0(level):
    view = LiveView(clock=lambda: 1.0)
    view.open([stream(1)])
    view.write(block(np.full(3000, level)))
    view.tare()
    view.write(block(np.full(3000, level), first=3000))         # the same signal again
    head, charts = decode(view.frame(10.0, 100))
    shown = head["instruments"][0]
    assert (shown["value"], shown["min"], shown["max"], shown["mean"]) == (0.0, 0.0, 0.0, 0.0)
    assert not charts[0][1].any()


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
def test_recordings_write_only_while_on_under_names_the_server_gives(tmp_path, suffix):
    recordings = Recordings(tmp_path)
    streams = [stream(1), stream(2)]
    recordings.open(streams)
    recordings.write(block(np.full(100, 1.0), received=100, missing=3))
    name = recordings.start(suffix)
    with pytest.raises(ValueError, match="already recording"):
        recordings.start(suffix)
    recordings.write(block(np.full(50, 2.0), first=100, received=150, missing=7))
    recordings.write(block(np.full(20, 3.0), index=1))
    recordings.tick([Stats(received=160, missing=8), Stats(received=20)])
    assert recordings.status()["file"].startswith(name.split(".")[0]) and recordings.status()["on"]
    assert recordings.stop() == name
    said = recordings.status()  # the last recording, with its own counters, until the next starts
    assert not said["on"] and said["error"] is None and said["counters"][0]["missing"] == 4
    recordings.write(block(np.full(10, 9.0), first=150))  # after the stop: not in the file
    recordings.close()
    assert name.startswith("vexlo-") and name.endswith(suffix)
    files = recordings.files()
    assert len(files) == (2 if suffix == ".csv" else 1)
    first, second = [one for name in sorted(files) for one in recording.load(files[name]).instruments.values()]
    np.testing.assert_array_equal(first.value, np.full(50, 2.0))
    # A recording of its own: its time, start and counters from its start, up to its last block;
    # a stop from the page is a normal end, complete only if nothing was lost meanwhile.
    np.testing.assert_array_equal(first.time, np.arange(50) / 1000.0)
    assert first.metadata["start_utc"] == (streams[0].start_utc + timedelta(seconds=0.1)).isoformat(
        timespec="milliseconds")
    assert first.metadata["received"] == 50 and first.metadata["missing"] == 4
    assert (first.metadata["end_reason"], first.metadata["complete"]) == ("completed", False)
    assert (second.metadata["end_reason"], second.metadata["complete"]) == ("completed", True)
    assert recordings.start(suffix) != name  # a second recording in the same second gets a name of its own
    recordings.close()


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
def test_limit_events_badge_their_card_even_before_it_opened_and_go_into_the_recording_on_from_its_start(tmp_path, suffix):
    pytest.importorskip("h5py")
    view, recordings = LiveView(), Recordings(tmp_path)
    limits = recording.LimitSink(["value > 250"], listeners=[view.limit, recordings.limit])
    streams = [stream(1), stream(2)]
    view.open([stream(3)])
    view.close()  # an earlier run
    limits.open(streams)

    def write(values, first, index=0, sinks=(limits, view, recordings)):
        for sink in sinks:
            sink.write(block(values, first=first, index=index))

    # An event before any recording, found before the view opened (each sink opens on its own thread).
    write([0.0] * 50 + [300.0] * 50, 0, sinks=[limits])
    view.open(streams)
    recordings.open(streams)
    write([0.0] * 50 + [300.0] * 50, 0, sinks=[view, recordings])
    assert decode(view.frame(10.0, 100))[0]["instruments"][0]["event"]["sample"] == 50
    name = recordings.start(suffix)
    write([0.0] * 10 + [300.0] * 90, 100)            # the recording's sample 10
    write([0.0] * 5 + [260.0] + [0.0] * 4, 0, index=1)
    head, _ = decode(view.frame(10.0, 100))
    first, second = head["instruments"]
    assert [e.sample for e in limits.events] == [50, 110, 5]
    assert first["event"] == {"condition": "value > 250", "value": 300.0, "sample": 110,
                              "utc": limits.events[1].utc}
    assert second["event"]["sample"] == 5 and second["event"]["value"] == 260.0
    recordings.stop()
    loaded = [one for path in sorted(recordings.files().values()) for one in recording.load(path).instruments.values()]
    events = [[(e["sample"], e["time_s"], e["value"]) for e in one.events] for one in loaded]
    assert events == [[(10, 0.01, 300.0)], [(5, 0.005, 260.0)]]
    recordings.close()


@pytest.mark.parametrize("fault", ["folder removed", "disk full"])
def test_a_failed_recording_ends_alone_with_its_error(tmp_path, fault, caplog):
    recordings = Recordings(tmp_path / "out")
    recordings.open([stream(1)])
    recordings.start(".csv")
    recordings.write(block(np.full(10, 1.0)))
    if fault == "folder removed":
        shutil.rmtree(tmp_path / "out")
        recordings.write(block(np.full(10, 1.0), first=10))
        recordings.tick([Stats(received=20)])
        recordings.stop()
    else:
        # A writer whose disk is full, as the file system says it.
        def full(*args):
            raise OSError(28, "No space left on device")
        recordings._sink.writer.append = full
        recordings.write(block(np.full(10, 1.0), first=10))
    said = recordings.status()
    assert not said["on"] and said["error"].startswith("failed: ")
    assert (fault == "disk full") <= ("No space left" in said["error"])
    # The sink itself goes on: no error reaches the engine, and a new recording can start.
    recordings.write(block(np.full(10, 1.0), first=20))
    (tmp_path / "out").mkdir(exist_ok=True)
    assert recordings.start(".h5").endswith(".h5") and recordings.status()["on"]
    recordings.close()


def test_recordings_refuse_other_formats_and_list_only_their_own_files(tmp_path):
    recordings = Recordings(tmp_path)
    recordings.open([stream()])
    with pytest.raises(ValueError, match="no recording format"):
        recordings.start("../x.h5")
    (tmp_path / "notes.txt").write_text("x")
    (tmp_path / "vexlo-20260101-000000.csv").mkdir()
    os.symlink("/etc/passwd", tmp_path / "vexlo-20260101-000001.csv")
    (tmp_path / "vexlo-20260101-000002.csv").write_text("x")
    assert list(recordings.files()) == ["vexlo-20260101-000002.csv"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


TOKEN = "a-token-of-22-chars-ok"


@pytest.fixture
def server(tmp_path):
    """A page on a free port, read-only or with control, with or without a token."""
    started = []

    def start(control=False, token=None):
        view = LiveView()
        view.open([stream()])
        view.write(block(np.full(100, 5.0)))
        recordings = Recordings(tmp_path) if control else None
        if recordings is not None:
            recordings.open([stream()])

        def set_rate(rate, index):
            if rate == 13:
                raise RuntimeError("a fault of the server's own")

        page = Page(view, recordings, set_rate if control else None, token)
        web = WebServer(create_app(page), "127.0.0.1", free_port())
        web.page = page
        web.start()
        started.append(web)
        return web

    yield start
    for web in started:
        web.stop()
        web.page.frames.close()


def request(web, method, path, *, host=None, origin=None, body=None, kind="application/json", token=None,
            raw=None, chunked=False):
    connection = http.client.HTTPConnection("127.0.0.1", web.port, timeout=10)
    headers = {"Host": host or f"127.0.0.1:{web.port}"}
    if origin:
        headers["Origin"] = origin
    if token:
        headers["X-Vexlo-Token"] = token
    if body is not None or raw is not None:
        headers["Content-Type"] = kind
    data = raw if raw is not None else None if body is None else json.dumps(body).encode()
    if chunked:
        connection.request(method, path, body=iter([data[i:i + 8192] for i in range(0, len(data), 8192)]),
                           headers=headers, encode_chunked=True)
    else:
        connection.request(method, path, body=data, headers=headers)
    answer = connection.getresponse()
    return answer.status, answer.read()


OTHER = "{other}"  # another port of this host


@pytest.mark.parametrize("control, token, method, path, options, status", [
    (False, None, "POST", "/api/tare", {}, 403),                                   # read-only
    (False, None, "POST", "/api/record/start", {}, 403),
    (False, None, "GET", "/api/files", {}, 403),
    (True, None, "POST", "/api/tare", {"origin": "http://evil.example"}, 403),     # another site
    (True, None, "POST", "/api/tare", {"origin": "http://127.0.0.1:{other}"}, 403),  # another port of this host
    (True, None, "POST", "/api/tare", {"origin": "https://127.0.0.1:{port}"}, 403),  # another scheme
    (True, None, "POST", "/api/tare", {"origin": "null"}, 403),                    # a sandboxed frame
    (True, None, "GET", "/", {"origin": "http://localhost:{other}"}, 403),
    (True, None, "POST", "/api/tare", {"kind": "text/plain"}, 415),                # a form could send this
    (True, None, "POST", "/api/rate", {"body": {"rate": "fast"}}, 400),
    (True, None, "POST", "/api/rate", {"body": [1, 2]}, 400),                       # not an object
    (True, None, "POST", "/api/rate", {"raw": b"{\"rate\": "}, 400),                 # not JSON
    (True, None, "POST", "/api/rate", {"raw": b"\xff\xfe"}, 400),                   # not text
    (True, None, "POST", "/api/rate", {"raw": b"[" * 30000 + b"]" * 30000}, 400),  # nested past any use
    (True, None, "POST", "/api/rate", {"raw": b'{"a":' * 6000 + b"1" + b"}" * 6000}, 400),
    (True, None, "POST", "/api/rate", {"raw": b" " * (65 * 1024) + b"{}"}, 413),   # a body too large
    (True, None, "POST", "/api/rate", {"raw": b" " * (65 * 1024) + b"{}", "chunked": True}, 413),
    (True, None, "POST", "/api/rate", {"body": {"rate": 13}}, 500),                # a fault: said, no traceback
    (True, None, "POST", "/api/rate", {"body": {"rate": 10, "instrument": 1}}, 400),  # no such instrument
    (True, None, "POST", "/api/rate", {"body": {"rate": 10, "instrument": True}}, 400),
    (True, None, "POST", "/api/tare", {"body": {"instrument": -1}}, 400),
    (True, None, "POST", "/api/rate", {"body": {"rate": True}}, 400),
    (True, None, "POST", "/api/rate", {"body": {"rate": 10, "instrument": 0}}, 200),
    (True, None, "POST", "/api/record/start", {"body": {"format": "/etc/x.h5"}}, 400),
    (True, None, "GET", "/", {"host": "evil.example:8765"}, 403),                  # a name made to point here
    (True, None, "GET", "/static/live.js", {"host": "evil.example:8765"}, 403),    # static files too
    (True, None, "GET", "/vendor/plotly.min.js", {"host": "evil.example:8765"}, 403),  # and the chart bundle
    (True, None, "GET", "/files/..%2F..%2Fetc%2Fpasswd", {}, 404),
    (True, None, "GET", "/files/notes.txt", {}, 404),
    (True, None, "GET", "/static/../web.py", {}, 404),
    (True, None, "GET", "/static/favicon.svg", {}, 200),
    (True, TOKEN, "GET", "/", {}, 403),                                            # token missing
    (True, TOKEN, "GET", "/static/live.js", {}, 403),
    (True, TOKEN, "GET", "/vendor/plotly.min.js", {}, 403),
    (True, TOKEN, "GET", "/static/live.js?token=" + TOKEN, {}, 200),
    (True, TOKEN, "POST", "/api/tare", {"token": "guess"}, 403),
    (True, TOKEN, "POST", "/api/tare", {"token": TOKEN[:-1]}, 403),
    (True, TOKEN, "GET", "/", {"token": TOKEN, "host": "evil.example:8765", "origin": "http://stand.lab:8765"},
     403),
    (True, TOKEN, "GET", "/", {"token": TOKEN, "host": "stand.lab:8765"}, 200),
    (True, TOKEN, "POST", "/api/tare", {"token": TOKEN, "origin": "http://stand.lab:8765",
                                        "host": "stand.lab:8765"}, 200),
    (True, TOKEN, "POST", "/api/tare", {"token": TOKEN, "origin": "http://stand.lab",
                                        "host": "stand.lab:80"}, 200),             # the default port said or not
    (True, None, "POST", "/api/untare", {"origin": None}, 200),
    (True, None, "POST", "/api/untare", {"origin": "http://localhost:{port}", "host": "localhost:{port}"}, 200),
])
def test_requests_are_refused_unless_allowed(server, tmp_path, caplog, control, token, method, path, options,
                                             status):
    web = server(control, token)
    (tmp_path / "notes.txt").write_text("secret")
    other = free_port()
    options = {key: value.format(port=web.port, other=other) if isinstance(value, str) else value
               for key, value in options.items()}
    body = options.pop("body", {} if method == "POST" and "raw" not in options else None)
    got, text = request(web, method, path, body=body, **options)
    assert got == status, text
    if status != 200:
        assert "error" in json.loads(text)
    assert not [r for r in caplog.records if r.exc_info or "Traceback" in r.getMessage()]
    # The server goes on serving.
    assert request(web, "GET", "/static/live.css" + (f"?token={token}" if token else ""))[0] == 200


@pytest.mark.parametrize("origin, token, accepted", [
    ("http://evil.example", None, False),
    ("http://127.0.0.1:{other}", None, False),
    (None, "guess", False),
    (None, TOKEN, True),
    ("http://127.0.0.1:{port}", None, True),
])
def test_websocket_checks_origin_and_token(server, origin, token, accepted):
    from websockets.exceptions import InvalidStatus
    from websockets.sync.client import connect
    web = server(token=TOKEN if token else None)
    url = f"ws://127.0.0.1:{web.port}/ws" + (f"?token={token}" if token else "")
    headers = {"Origin": origin.format(port=web.port, other=free_port())} if origin else {}
    if not accepted:
        with pytest.raises(InvalidStatus):
            connect(url, additional_headers=headers, open_timeout=10)
        return
    with connect(url, additional_headers=headers, open_timeout=10) as ws:
        hello = json.loads(ws.recv(10))
        assert hello["type"] == "hello" and hello["instruments"][0]["serial_number"] == 20240001
        head, _ = decode(ws.recv(10))
        assert head["instruments"][0]["value"] == 5.0


@pytest.mark.parametrize("message", [
    "not JSON", "[" * 30000, "x" * (65 * 1024), '{"window": 1e400, "columns": 1e308}', '{"window": NaN}',
    '{"columns": -5, "window": -1}', '{"columns": Infinity}', '{"drawn": 1e30}', '{"drawn": -99}', "[]", "null",
    '{"window": {"a": [[[[1]]]]}}',
])
def test_a_viewer_that_speaks_nonsense_costs_the_others_nothing(server, caplog, message):
    from websockets.sync.client import connect
    web = server()
    with connect(f"ws://127.0.0.1:{web.port}/ws", max_size=None) as bad:
        assert json.loads(bad.recv(10))["type"] == "hello"
        bad.send(message)
        try:  # it may be answered with frames of the nearest window, or closed
            for _ in range(3):
                bad.recv(0.5)
        except Exception:
            pass
    with connect(f"ws://127.0.0.1:{web.port}/ws") as good:
        assert json.loads(good.recv(10))["type"] == "hello"
        head, _ = decode(good.recv(10))
        assert head["instruments"][0]["value"] == 5.0
    assert not [r for r in caplog.records if r.exc_info or "Traceback" in r.getMessage()]


def test_a_viewer_that_does_not_read_is_dropped(server):
    web = server()
    page = web.page
    page.view.open([stream(rate=38400.0)])
    page.view.write(block(np.random.default_rng(2).normal(0, 1, 1 << 20)))  # frames of 50 kB
    page.send_timeout, page.frames = 0.5, type(page.frames)(page.view.frame, 100.0)
    with socket.create_connection(("127.0.0.1", web.port), timeout=10) as raw:
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        raw.sendall(f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{web.port}\r\nUpgrade: websocket\r\n"
                    "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                    "Sec-WebSocket-Version: 13\r\n\r\n".encode())
        assert raw.recv(12) == b"HTTP/1.1 101"
        # It says it drew every frame, and reads none of them: the server's buffers fill.
        said = json.dumps({"window": 600, "columns": 4000, "drawn": 1000}).encode()
        message = bytes([0x81, 0x80 | len(said)]) + b"\0\0\0\0" + said  # masked with zeros
        deadline = time.monotonic() + 20
        while page.viewers == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        while page.viewers and time.monotonic() < deadline:
            try:
                raw.sendall(message)
            except OSError:
                break
            time.sleep(0.02)
        assert page.viewers == 0, "a viewer that reads nothing is still served"


def test_a_viewer_that_draws_nothing_gets_no_more_frames_until_it_has(server):
    from websockets.sync.client import connect
    from vexlo_tools.web import FRAMES_IN_FLIGHT
    web = server()

    def frames_within(ws, seconds):
        got, end = 0, time.monotonic() + seconds
        while True:
            try:
                got += isinstance(ws.recv(max(0.0, end - time.monotonic())), bytes)
            except TimeoutError:
                return got

    with connect(f"ws://127.0.0.1:{web.port}/ws", open_timeout=10) as ws:
        assert frames_within(ws, 1.0) == FRAMES_IN_FLIGHT  # 12 would have come meanwhile
        ws.send(json.dumps({"drawn": FRAMES_IN_FLIGHT}))
        assert frames_within(ws, 1.0) == FRAMES_IN_FLIGHT


@pytest.mark.parametrize("options, code, said", [
    (["--seconds", "0.3"], 0, "live page at http://127.0.0.1:{port}/\n"),
    (["--seconds", "0.3", "--host", "0.0.0.0", "--token", TOKEN], 0,
     f"live page at http://{socket.gethostname()}:{{port}}/?token={TOKEN}\n"),
    (["--http-port", "0"], 1, "vexlo: error: --http-port must be between 1 and 65535\n"),
    (["--token", ""], 1, "vexlo: error: --token must be at least 16 characters\n"),
    (["--token", "s3cret", "--host", "0.0.0.0"], 1, "vexlo: error: --token must be at least 16 characters\n"),
    (["--on-limit", "true"], 1, "vexlo: error: --on-limit needs a --limit\n"),
    (["--broker", "mqtt://127.0.0.1:1", "--limit", "value > 1"], 1,
     "vexlo: error: --limit: the fleet page shows what the stands publish, read-only\n"),
])
def test_serve_command_prints_the_address_and_ends(capsys, options, code, said):
    from vexlo_tools import cli
    port = free_port()
    argv = ["--instrument", "mvr420:load=12.5", "serve", "--http-port", str(port), *options]
    assert cli.main(argv) == code
    out, err = capsys.readouterr()
    assert (out if code == 0 else err).endswith(said.format(port=port))


# ---------------------------------------------------------------- the page in Chromium

CHROMEDRIVER = shutil.which("chromedriver")


@pytest.fixture(scope="module")
def browser():
    # Installed by `make test` (make browser); a missing one fails here rather than skipping.
    assert CHROMEDRIVER, "chromedriver is missing: run make browser (installs Debian's chromium-driver)"
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,900"):
        options.add_argument(argument)
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})  # the console, for errors
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    yield driver
    driver.quit()


class Stand:
    """vexlo serve against a simulated PLX310 Plus Prime at 38400 samples/s, on a thread, restartable."""

    def __init__(self, tmp_path, instrument, control):
        self.port = free_port()
        self.control = control
        self.tmp_path = tmp_path
        self.instrument = instrument
        self.rate = 38400
        self.ports = None
        self.token = None
        self.limits = None
        self.url = f"http://127.0.0.1:{self.port}/"

    def start(self):
        self.stop_event, listening = threading.Event(), threading.Event()
        self.thread = threading.Thread(target=serve, kwargs=dict(
            ports=self.ports, rate=self.rate, http_port=self.port, token=self.token, control=self.tmp_path if self.control else None,
            announce=lambda text: listening.set(), limits=self.limits,
            stop=self.stop_event), daemon=True)
        self.thread.start()
        assert listening.wait(30), "vexlo serve did not start listening"

    def stop(self):
        self.stop_event.set()
        self.thread.join(30)
        assert not self.thread.is_alive()


@pytest.fixture
def stand(request, tmp_path):
    from vexlo_tools.sim import SimulatedInstrument, simulated_ports
    instrument = SimulatedInstrument.plx310_plus_prime(with_teds=False, serial_number=20240001)  # reads N
    instrument.set_load(250.0)
    with simulated_ports({"sim0": instrument}):
        running = Stand(tmp_path, instrument, control=getattr(request, "param", True))
        running.start()
        yield running
        running.stop()


def wait_for(driver, script, timeout=20):
    """The value of ``script`` once it is truthy."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = driver.execute_script("return " + script)
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"never true: {script}")



@pytest.mark.browser
def test_page_shows_the_instruments_and_follows_the_load(browser, stand):
    browser.get(stand.url)
    wait_for(browser, "window.vexlo.drawn > 3 && Math.abs(window.vexlo.value - 250) < 5")
    text = browser.find_element("id", "instruments").text
    assert "PLX310 20240001" in text and "38400 samples/s" in text and "calibration: instrument" in text
    stand.instrument.set_load(400.0)
    drawn = browser.execute_script("return window.vexlo.drawn")
    wait_for(browser, "Math.abs(window.vexlo.value - 400) < 5")
    # The chart moved with it: its highest point is the new load.
    top = wait_for(browser, "(() => { const y = document.querySelector('.chart').data[0].y;"
                            " return Math.max(...y) > 395 && Math.max(...y); })()")
    assert top == pytest.approx(400.0, abs=5) and browser.execute_script("return window.vexlo.drawn") > drawn


@pytest.mark.browser
def test_recording_started_and_stopped_from_the_page_is_a_loadable_file(browser, stand):
    browser.get(stand.url)
    # The instruments are on the page (a page opened early first hears of none).
    wait_for(browser, "Math.abs(window.vexlo.value - 250) < 5 && !document.getElementById('control').hidden")
    browser.execute_script("document.getElementById('format').value = '.h5'")
    browser.find_element("id", "record-start").click()
    wait_for(browser, "window.vexlo.recording && window.vexlo.recording.size > 0")
    time.sleep(0.5)
    browser.find_element("id", "record-stop").click()
    link = wait_for(browser, "document.querySelector('#files a') && document.querySelector('#files a').href")
    name = link.rsplit("/", 1)[-1]
    loaded = recording.load(stand.tmp_path / name)
    values = next(iter(loaded.instruments.values())).value
    assert len(values) > 1000 and abs(np.median(values) - 250.0) < 5
    downloaded = browser.execute_script("return fetch(arguments[0]).then(r => r.arrayBuffer())"
                                        ".then(b => b.byteLength)", link)
    assert downloaded == (stand.tmp_path / name).stat().st_size


@pytest.mark.browser
def test_tare_and_rate_from_the_page(browser, stand):
    browser.get(stand.url)
    wait_for(browser, "window.vexlo.drawn > 0 && Math.abs(window.vexlo.value - 250) < 5")
    browser.find_element("id", "tare").click()
    wait_for(browser, "Math.abs(window.vexlo.value) < 1")
    browser.find_element("id", "untare").click()
    wait_for(browser, "Math.abs(window.vexlo.value - 250) < 5")
    browser.execute_script("const rate = document.getElementById('rate'); rate.value = '19200';"
                           "rate.dispatchEvent(new Event('change'))")
    # The stream restarts at the new rate; the page learns the instruments anew.
    wait_for(browser, "window.vexlo.hello.instruments.length &&"
                      " window.vexlo.hello.instruments[0].samples_per_second === 19200")
    assert "19200 samples/s" in browser.find_element("id", "instruments").text
    wait_for(browser, "Math.abs(window.vexlo.value - 250) < 5")


@pytest.mark.browser
def test_a_limit_crossed_badges_its_card(browser, stand):
    stand.stop()
    stand.limits = recording.LimitSink(["value > 300"])
    stand.start()
    browser.get(stand.url)
    wait_for(browser, "Math.abs(window.vexlo.value - 250) < 5")
    assert browser.find_element("css selector", ".instrument .event").text == ""
    stand.instrument.set_load(400.0)
    text = wait_for(browser, "document.querySelector('.instrument .event').textContent")
    # The card shows the last event (the load's step may cross more than once with the noise).
    assert any(text.startswith(f"last limit event: value > 300 at {event.utc} (value ") and event.value > 300
               for event in stand.limits.events)


@pytest.mark.browser
@pytest.mark.parametrize("stand", [False], indirect=True)
def test_read_only_page_shows_no_control_and_its_requests_are_refused(browser, stand):
    browser.get(stand.url)
    wait_for(browser, "Math.abs(window.vexlo.value - 250) < 5")
    assert not browser.find_element("id", "control").is_displayed()
    statuses = browser.execute_script(
        "return Promise.all(['api/tare', 'api/record/start', 'api/rate'].map((path) => fetch(path, {method: 'POST',"
        " headers: {'Content-Type': 'application/json'}, body: '{}'}).then((r) => r.status)))")
    assert statuses == [403, 403, 403]


@pytest.mark.browser
def test_page_says_when_the_server_is_away_and_recovers(browser, stand):
    browser.get(stand.url)
    wait_for(browser, "Math.abs(window.vexlo.value - 250) < 5")
    stand.stop()
    assert "away" in wait_for(browser, "!window.vexlo.connected && document.getElementById('connection').textContent")
    stand.instrument.set_load(300.0)
    stand.start()
    wait_for(browser, "window.vexlo.connected && Math.abs(window.vexlo.value - 300) < 5", timeout=30)
    assert browser.find_element("id", "connection").text == "live"


# ---------------------------------------------------------------- the layout, at several widths and instrument counts

#: What the page's charts and cards look like on screen: each chart's drawn box, its card's, the viewport.
BOXES = """
const box = (e) => { const r = e.getBoundingClientRect(); return [r.left, r.top, r.right, r.bottom]; };
return { width: window.innerWidth, scroll: document.documentElement.scrollWidth,
         cards: [...document.querySelectorAll('.instrument')].map((card) => ({
           card: box(card), charts: [...card.querySelectorAll('.chart, .chart .main-svg')].map(box) })) };
"""


@pytest.fixture(scope="module", params=[1, 2, 4])
def several(request, tmp_path_factory):
    """vexlo serve with control over 1, 2 or 4 simulated instruments of two models, one server per count."""
    from vexlo_tools.sim import SimulatedInstrument, simulated_ports
    kinds = [SimulatedInstrument.plx310_plus_prime, SimulatedInstrument.mvr420]
    instruments = {f"sim{i}": kinds[i % 2](serial_number=20240001 + i) for i in range(request.param)}
    for i, instrument in enumerate(instruments.values()):
        instrument.set_load(100.0 + i)
    with simulated_ports(instruments):
        running = Stand(tmp_path_factory.mktemp("page"), None, control=True)
        running.rate = None
        running.start()
        running.count = request.param
        yield running
        running.stop()


def charts_inside_their_cards(browser, count):
    """Every chart's box inside its card and on screen, and nothing to scroll sideways."""
    # Resizing settles within a frame or two of the browser: wait until it holds, then check once more.
    deadline = time.monotonic() + 10
    while True:
        seen = browser.execute_script(BOXES)
        wrong = [(card["card"], chart) for card in seen["cards"] for chart in card["charts"]
                 if chart[0] < card["card"][0] - 0.5 or chart[2] > card["card"][2] + 0.5
                 or chart[0] < 0 or chart[2] > seen["width"] + 0.5]
        if len(seen["cards"]) == count and not wrong and seen["scroll"] <= seen["width"]:
            return seen
        if time.monotonic() > deadline:
            raise AssertionError(f"charts outside their cards or the screen: {wrong} in {seen}")
        time.sleep(0.1)


def columns_drawn(chart):
    """A page's chart as {column number: (minimum, maximum)}, and its column's seconds."""
    x, y = np.array(chart["x"]), np.array(chart["y"])
    step = np.diff(np.unique(x)).min()
    return {round(t / step): (low, high) for t, low, high in zip(x[::2], y[::2], y[1::2])}, step


@pytest.mark.browser
@pytest.mark.parametrize("several", [2, 4], indirect=True)
@pytest.mark.parametrize("width", [700, 1400])
def test_charts_drawn_from_the_columns_each_frame_adds_match_the_whole_window_and_move_on(browser, several, width):
    browser.set_window_size(width, 900)
    browser.get(several.url)
    wait_for(browser, f"window.vexlo.drawn > 30 && window.vexlo.hello.instruments.length == {several.count}")
    # Columns added frame by frame, as one viewer asking for the same window and width now gets it whole.
    charts = browser.execute_script("return window.vexlo.charts()")
    viewer = Viewer(several.port)
    try:
        viewer.ws.send(json.dumps({"window": 10, "columns": charts[0]["width"]}))
        viewer.until(lambda v: v.head["instruments"][0]["whole"] and v.head["instruments"][0]["points"] > 100 and
                     v.head["window"] == 10)
        whole = viewer.charts
    finally:
        viewer.ws.close()
    for index, chart in enumerate(charts):
        drawn, step = columns_drawn(chart)
        sent = viewer.head["instruments"][index]
        assert step == pytest.approx(sent["step"])
        window = {sent["first"] + j: (low, high) for j, (low, high) in enumerate(zip(*whole[index]))}
        both = set(drawn) & set(window)
        # The page's chart ends where its columns end and spans the window; it holds no more than the window.
        assert chart["end"] == pytest.approx((max(drawn) + 1) * step) and chart["range"] == [-10, 0]
        assert len(drawn) <= 10.0 / step + 2 and len(both) > 0.5 * len(window)
        assert sorted(drawn) == list(range(min(drawn), max(drawn) + 1))  # no column missed
        assert {k: drawn[k] for k in both} == {k: window[k] for k in both}
        # What is on screen: the line spans the plot from its values' lowest to highest, to the right edge.
        line = np.array([[float(v) for v in point.split(",")] for point in chart["line"][1:].split("L")])
        (width, height), (bottom, top) = chart["plot"], chart["values"]
        values = np.array(chart["y"])
        assert line[:, 0].max() == pytest.approx(width * (1 - step / 10), abs=2)
        assert line[:, 1].min() == pytest.approx(height * (top - values.max()) / (top - bottom), abs=1)
        assert line[:, 1].max() == pytest.approx(height * (top - values.min()) / (top - bottom), abs=1)
    # And it moves on.
    later = wait_for(browser, f"(() => {{ const c = window.vexlo.charts(); return Math.max(...c[0].x) > "
                              f"{max(charts[0]['x'])} + 1 && c; }})()")
    assert all(max(c["x"]) > max(before["x"]) + 0.5 for c, before in zip(later, charts))


@pytest.mark.browser
@pytest.mark.parametrize("width", [360, 1400, 2560])
def test_every_chart_lies_inside_its_card_at_every_width(browser, several, width):
    browser.set_window_size(width, 900)
    browser.get(several.url)
    wait_for(browser, f"window.vexlo.drawn > 2 && window.vexlo.hello.instruments.length == {several.count}")
    seen = charts_inside_their_cards(browser, several.count)
    assert seen["width"] <= width
    # Changes that reflow a card: a tare of one instrument (its text grows), a window, a resize.
    browser.find_elements("css selector", ".instrument .tare")[-1].click()
    wait_for(browser, "Math.abs(window.vexlo.values[window.vexlo.values.length - 1]) < 1")
    browser.execute_script("const w = document.getElementById('window'); w.value = '60';"
                           "w.dispatchEvent(new Event('change'))")
    charts_inside_their_cards(browser, several.count)
    browser.set_window_size(max(360, width // 2), 900)
    charts_inside_their_cards(browser, several.count)
    browser.find_elements("css selector", ".instrument .untare")[-1].click()
    badges = browser.execute_script("return [...document.querySelectorAll('.state')].map((b) => b.textContent)")
    assert badges == ["live"] * several.count
    assert browser.execute_script("return window.vexlo.error || null") is None


class Viewer:
    """A websocket viewer of a page: its latest facts and frame."""

    def __init__(self, port):
        from websockets.sync.client import connect
        self.ws = connect(f"ws://127.0.0.1:{port}/ws", open_timeout=10).__enter__()
        self.hello = self.head = self.status = None

    def until(self, check, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            message = self.ws.recv(timeout)
            if isinstance(message, bytes):
                self.head, self.charts = decode(message)
                self.ws.send(json.dumps({"drawn": 1}))
            elif json.loads(message)["type"] == "hello":
                self.hello = json.loads(message)
            else:
                self.status = json.loads(message)
            if self.hello and self.head and self.head["generation"] == self.hello["generation"] and check(self):
                return
        raise AssertionError(f"never true; last frame {self.head}, status {self.status}")


def serials(viewer):
    return [facts["serial_number"] for facts in viewer.hello["instruments"]]


def test_a_lost_instrument_is_shown_lost_the_others_go_on_and_it_resumes_when_back_and_rates_are_its_own(tmp_path):
    from vexlo_tools.sim import SimulatedInstrument, simulated_ports
    instruments = {"lost0": SimulatedInstrument.mvr420(serial_number=1),
                   "lost1": SimulatedInstrument.mvr420(serial_number=2)}
    with simulated_ports(instruments):
        stand = Stand(tmp_path, None, control=True)
        stand.rate, stand.ports = None, list(instruments)
        stand.start()
        try:
            viewer = Viewer(stand.port)
            # (A viewer early enough first sees the page of no instruments, while they are looked for.)
            viewer.until(lambda v: serials(v) == [1, 2] and all(i["samples"] for i in v.head["instruments"]))
            generation = viewer.hello["generation"]
            instruments["lost1"].unplug()
            viewer.until(lambda v: (v.head["instruments"][1]["ended"] or "").startswith("failed"))
            going = viewer.head["instruments"][0]["samples"]
            viewer.until(lambda v: v.head["instruments"][0]["samples"] > going + 100)  # the other goes on
            assert viewer.head["instruments"][0]["ended"] is None
            instruments["lost1"].plug_in()
            viewer.until(lambda v: v.hello["generation"] > generation and all(
                i["samples"] and not i["ended"] for i in v.head["instruments"]))
            assert serials(viewer) == [1, 2]
            # One instrument's own rate: it restarts at that rate, the other keeps its own.
            rates = [facts["samples_per_second"] for facts in viewer.hello["instruments"]]
            generation = viewer.hello["generation"]
            assert request(stand, "POST", "/api/rate", body={"rate": 200.0, "instrument": 1})[0] == 200
            viewer.until(lambda v: v.hello["generation"] > generation and all(
                i["samples"] for i in v.head["instruments"]))
            assert [facts["samples_per_second"] for facts in viewer.hello["instruments"]] == [rates[0], 200.0]
            assert request(stand, "POST", "/api/rate", body={"rate": 1300.0, "instrument": 0})[0] == 200
            viewer.until(lambda v: [f["samples_per_second"] for f in v.hello["instruments"]] == [1300.0, 200.0])
            # Every instrument lost: the page goes on, says so, and streams again once they are back.
            for instrument in instruments.values():
                instrument.unplug()
            viewer.until(lambda v: v.status and v.status["problem"])
            assert stand.thread.is_alive()
            for instrument in instruments.values():
                instrument.plug_in()
            viewer.until(lambda v: serials(v) == [1, 2] and all(i["samples"] for i in v.head["instruments"])
                         and not v.status["problem"])
            viewer.ws.close()
        finally:
            stand.stop()


def test_frames_are_built_once_per_interval_for_every_viewer_of_a_rounded_window_and_what_it_was_sent():
    import asyncio
    from vexlo_tools.web import SharedFrames
    built, threads = [], set()

    def build(seconds, columns, since):
        built.append((seconds, columns, since))
        threads.add(threading.current_thread().name)
        return f"{seconds}:{columns}:{since}".encode()

    async def viewers():
        frames = SharedFrames(build, frames_per_second=2.0)
        await asyncio.sleep(0.5 - asyncio.get_running_loop().time() % 0.5 + 0.01)
        wishes = [(7.0, 700), (8.0, 640), (10.0, 800), (2.0, 800), (600.0, 9000), (0.1, 10)] * 5
        got = await asyncio.gather(*(frames.get(*wish) for wish in wishes),
                                   frames.get(10.0, 800, "sent before"), frames.get(10.0, 800, "sent before"))
        frames.close()
        return got

    got = asyncio.run(viewers())
    assert set(built) == {(1.0, 200, None), (10.0, 800, None), (10.0, 800, "sent before"), (5.0, 800, None),
                          (600.0, 3200, None)}
    assert len(built) == 5 and got[:6] == [b"10.0:800:None", b"10.0:800:None", b"10.0:800:None", b"5.0:800:None",
                                           b"600.0:3200:None", b"1.0:200:None"]
    assert got[-2:] == [b"10.0:800:sent before"] * 2
    assert all(name.startswith("vexlo frames") for name in threads)  # off the event loop


@pytest.mark.parametrize("key, interval", [
    ((1.0, 200), 1 / 12), ((10.0, 800), 1 / 12),  # a column's time is shorter than the shortest interval
    ((60.0, 400), 0.15), ((300.0, 1600), 0.1875),   # a frame per column
    ((600.0, 800), 0.5), ((600.0, 200), 0.5),       # at most half a second apart: the figures stay current
])
def test_a_window_gets_a_frame_per_pixel_column_of_time_at_most_12_a_second(key, interval):
    from vexlo_tools.web import SharedFrames
    frames = SharedFrames(lambda *args: b"", frames_per_second=12.0)
    assert frames.interval(key) == pytest.approx(interval)
    frames.close()


def test_viewers_beyond_the_most_served_are_told_so(server):
    from websockets.sync.client import connect
    web = server()
    web.page.max_viewers = 2
    with connect(f"ws://127.0.0.1:{web.port}/ws") as first, connect(f"ws://127.0.0.1:{web.port}/ws") as second:
        for ws in (first, second):
            assert json.loads(ws.recv(10))["type"] == "hello"
        with connect(f"ws://127.0.0.1:{web.port}/ws") as third:
            said = json.loads(third.recv(10))
            assert said["type"] == "refused" and "2 viewers" in said["error"]
            with pytest.raises(Exception, match="1013"):
                third.recv(10)
    # Those who left make room (once the server has seen them go).
    deadline = time.monotonic() + 10
    while True:
        with connect(f"ws://127.0.0.1:{web.port}/ws") as again:
            if json.loads(again.recv(10))["type"] == "hello":
                break
        assert time.monotonic() < deadline, "the viewers who left still count"
        time.sleep(0.1)


@pytest.mark.browser
@pytest.mark.parametrize("several", [2], indirect=True)
def test_a_page_with_a_token_loads_everything_through_the_gate_without_a_console_error(browser, several):
    several.stop()
    several.token = TOKEN
    several.start()
    try:
        browser.get_log("browser")  # what earlier pages said
        browser.get(several.url + "?token=" + TOKEN)
        wait_for(browser, "window.vexlo.drawn > 2")
        assert browser.execute_script("return document.querySelector('link[rel=icon]').href").endswith(TOKEN)
        time.sleep(0.5)
        assert [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"] == []
    finally:
        several.stop()
        several.token = None
        several.start()
