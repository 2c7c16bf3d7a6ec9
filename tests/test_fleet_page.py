"""vexlo serve --broker: the fleet's page from a real Mosquitto, its hostile messages, and the page in Chromium."""
import json
import os
import signal
import subprocess
import sys
import threading
import time

import paho.mqtt.client as paho
import pytest

from mosquitto import Mosquitto
from test_serve import BOXES, Viewer, browser, charts_inside_their_cards, free_port, wait_for  # noqa: F401 (fixture)
from vexlo_tools.mqtt import Broker, layout
from vexlo_tools.mqtt.fleet import serve


class Fleet:
    """A broker, two stands publishing (`vexlo publish` processes) and the fleet's page of them on a thread."""

    def __init__(self, folder):
        (folder / "broker").mkdir()
        self.broker = Mosquitto(folder / "broker").start()
        self.folder = folder
        self.stands = {}
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}/"
        self.stop = threading.Event()
        listening = threading.Event()
        self.thread = threading.Thread(target=serve, args=(Broker.from_url(self.broker.url),),
                                       kwargs=dict(http_port=self.port, announce=lambda text: listening.set(),
                                                   stop=self.stop), daemon=True)
        self.thread.start()
        assert listening.wait(30)

    def stand(self, name, serial):
        self.stands[name] = subprocess.Popen(
            [sys.executable, "-m", "vexlo_tools.cli", "publish", "--broker", self.broker.url, "--stand", name,
             "--instrument", f"plx310-plus-prime:load=100,noise=1,serial={serial}", "--rate", "1200"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env={**os.environ, "XDG_STATE_HOME": str(self.folder / name)})

    def send(self, topic, payload, retain=False, run=None):
        client = paho.Client(paho.CallbackAPIVersion.VERSION2, protocol=paho.MQTTv5)
        client.connect("127.0.0.1", self.broker.port)
        client.loop_start()
        properties = None
        if run is not None:
            properties = paho.Properties(paho.PacketTypes.PUBLISH)
            properties.UserProperty = ("run", run)
        client.publish(topic, payload, qos=1, retain=retain, properties=properties).wait_for_publish(10)
        client.disconnect()
        client.loop_stop()

    def close(self):
        self.stop.set()
        self.thread.join(30)
        for process in self.stands.values():
            process.kill()
            process.wait()
        self.broker.kill(signal.SIGTERM)


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    running = Fleet(tmp_path_factory.mktemp("fleet"))
    running.stand("hall-a", 20240001)
    running.stand("hall-b", 20240002)
    yield running
    running.close()


def moving(viewer, stands=("hall-a", "hall-b")):
    """The frames show every stand online with fresh data, and every instrument's samples growing."""
    seen = {}

    def check(v):
        state = v.head["stands"]
        counts = [entry["samples"] for entry in v.head["instruments"]]
        if all(state.get(s, {}).get("status") == "online" and (state[s]["age"] or 9) < 1 for s in stands) \
                and len(counts) == len(stands):
            seen.setdefault("first", counts)
            return all(now > before for now, before in zip(counts, seen["first"]))
        return False
    viewer.until(check)
    return viewer


NOW = "2026-12-08T03:00:00+00:00"
HOSTILE = [  # (topic, payload, data message's run)
    ("vexlo/" + "x" * 300 + "/1/info", b"{}", None),                       # a level no stand makes
    ("vexlo/hall-a/../info", b"{}", None),
    ("vexlo/hall-a/20240001/info", json.dumps({"start_utc": "../../etc", "samples_per_second": 1}).encode(), None),
    ("vexlo/hall-a/20240001/info", json.dumps({"start_utc": NOW, "samples_per_second": 1e300}).encode(), None),
    ("vexlo/hall-a/20240001/info", b"[" * 200000, None),                   # deeper than any parser
    ("vexlo/hall-a/20240001/stats", json.dumps({"start_utc": NOW, "received": -5}).encode(), None),
    ("vexlo/hall-a/20240001/event", json.dumps({"kind": "limit"}).encode(), None),
    ("vexlo/hall-a/20240001/event", b"x" * 70000, None),
    ("vexlo/hall-a/status", b"pwned", None),
    ("vexlo/hall-a/20240001/data", layout.encode(2**62, [0], [1e300]), "RUN"),   # far beyond the run
    ("vexlo/hall-a/20240001/data", layout.encode(0, [0, 0], [1.0, float("nan")]), "RUN"),
    ("vexlo/hall-a/20240001/data", b"\x01" + b"\xff" * 40, "RUN"),          # not the layout
    ("vexlo/hall-a/20240001/data", layout.encode(0, [0], [1.0]), "not a time"),
]


@pytest.mark.broker
@pytest.mark.serial
def test_hostile_messages_are_refused_and_change_nothing_the_page_shows(fleet):
    viewer = moving(Viewer(fleet.port))
    facts, generation = viewer.hello["instruments"], viewer.hello["generation"]
    run = facts[0]["start_utc"]
    before = viewer.head["rejected"]
    for n, (topic, payload, data_run) in enumerate(HOSTILE, 1):
        fleet.send(topic, payload, run=run if data_run == "RUN" else data_run)
        viewer.until(lambda v: v.head["rejected"] >= before + n)
    # An earlier run of a real instrument, well-formed: not shown over the current one.
    fleet.send("vexlo/hall-a/20240001/info", json.dumps({"start_utc": "2020-01-01T00:00:00+00:00",
                                                         "samples_per_second": 1200.0, "model": "X"}).encode())
    moving(viewer)
    assert viewer.head["rejected"] == before + len(HOSTILE)
    assert viewer.head["stands"]["hall-a"]["rejected"] >= len(HOSTILE) - 2  # those naming no stand counted in all
    assert viewer.hello["instruments"] == facts and viewer.hello["generation"] == generation
    shown = viewer.head["instruments"][0]
    assert shown["value"] is not None and abs(shown["value"]) < 1e6 and not shown["ended"]
    assert shown["samples"] < shown["counters"]["received"] + 3 * 1200  # the stats come once a second


@pytest.mark.broker
@pytest.mark.browser
@pytest.mark.serial
def test_both_stands_shown_moving_one_killed_is_shown_offline(fleet, browser):
    # A limit event as `vexlo publish --limit` leaves it, retained: the card shows the instrument's last alarm.
    event = {"kind": "limit", "condition": "value > 0.1", "serial_number": 20240002, "model": "PLX310",
             "sample": 5, "time_s": 0.004, "utc": NOW, "value": 0.2, "adc": 1}
    fleet.send("vexlo/hall-b/20240002/event", json.dumps(event).encode(), retain=True)
    for width in (1400, 360):
        browser.set_window_size(width, 900)
        browser.get(fleet.url)
        wait_for(browser, "window.vexlo.drawn > 3 && document.querySelectorAll('.stand').length == 2"
                          " && document.querySelectorAll('.instrument').length == 2")
        charts_inside_their_cards(browser, 2)
    text = browser.find_element("id", "instruments").text
    assert "stand hall-a" in text and "stand hall-b" in text and "PLX310 20240002" in text
    assert "last limit event: value > 0.1 at " + NOW in text and "spooled" in text
    samples = browser.execute_script("return [...document.querySelectorAll('.counters')].map((c) => c.textContent)")
    wait_for(browser, "[...document.querySelectorAll('.state')].filter((b) => b.textContent == 'live').length == 2")
    wait_for(browser, f"[...document.querySelectorAll('.counters')].every((c, i) => c.textContent != {samples}[i])")
    # A hostile message on the broker: the page's stands and cards stay as they are.
    fleet.send("vexlo/hall-b/status", b"\x00" * 60, retain=True)
    fleet.send("vexlo/evil/1/info", b"{not json", retain=True)
    time.sleep(1)
    assert len(browser.find_elements("css selector", ".instrument")) == 2
    fleet.stands["hall-b"].send_signal(signal.SIGKILL)
    killed = time.monotonic()
    wait_for(browser, "document.querySelector('.stand[data-stand=\"hall-b\"] .state').textContent == 'offline'"
                      " && [...document.querySelectorAll('.instrument .state')][1].textContent == 'offline'", 5)
    assert time.monotonic() - killed < 2.5  # its last will, shown within 2 s (plus this loop's polling)
    assert browser.execute_script("return document.querySelector('.stand[data-stand=\"hall-a\"] .state')"
                                  ".textContent") == "online"
    assert browser.execute_script("return window.vexlo.error || null") is None
    # It comes back: online again, without reloading.
    fleet.stand("hall-b", 20240002)
    wait_for(browser, "document.querySelector('.stand[data-stand=\"hall-b\"] .state').textContent == 'online'"
                      " && [...document.querySelectorAll('.instrument .state')][1].textContent == 'live'", 30)


@pytest.mark.parametrize("options, said", [
    (["--broker", "mqtt://127.0.0.1:1", "--control"], "--control: the fleet page shows what the stands publish"),
    (["--broker", "mqtt://127.0.0.1:1", "--stand", "a/b"], "stand pattern"),
    (["--stand", "a"], "--stand selects stands of a --broker"),
    (["--broker", "ftp://x"], "scheme"),
])
def test_serve_broker_refuses_options_it_cannot_honour(capsys, options, said):
    from vexlo_tools.cli import main
    assert main(["serve", *options]) == 1
    assert said in capsys.readouterr().err
