"""The consumer engine: every block to every sink through its own queue; a slow or failing sink is its own affair."""
import threading
import time

import pytest

import vexlo_device_communication as vexlo
from vexlo_tools import Engine, Sink
from vexlo_tools import engine as engine_module
from engine_doubles import ScriptedAcquisition


class Recording(Sink):
    """Keeps what it is given; ``gate``, when set, holds every write until it opens."""

    def __init__(self, name="", queue_blocks=1000, gate=None, fail_on=None):
        self.name, self.queue_blocks, self.gate, self.fail_on = name, queue_blocks, gate, fail_on
        self.calls, self.samples, self.ends = [], {}, {}
        self.threads = set()

    def _call(self, what):
        self.calls.append(what)
        self.threads.add(threading.current_thread())
        if what == self.fail_on:
            raise OSError(28, "No space left on device")

    def open(self, streams):
        self._call("open")

    def write(self, block):
        if self.gate is not None:
            self.gate.wait()
        self._call("write")
        self.samples.setdefault(block.index, []).extend(block.adc.tolist())

    def tick(self, stats):
        self._call("tick")

    def end(self, index, end):
        self.ends[index] = end
        self._call(f"end {index} {end.reason}")

    def close(self):
        self._call("close")


def after_the_last_write(sink, call):
    writes = [i for i, c in enumerate(sink.calls) if c == "write"]
    return sink.calls.count(call) == 1 and sink.calls.index(call) > max(writes, default=-1)


def test_a_slow_sink_drops_and_counts_exactly_while_a_fast_one_gets_everything():
    gate = threading.Event()
    acquisition = ScriptedAcquisition([100.0, 200.0], samples=600)
    fast, slow = Recording("fast"), Recording("slow", queue_blocks=2, gate=gate)
    with Engine(acquisition, [fast, slow], tick_seconds=0.01) as engine:
        assert engine.wait(timeout=30)  # the fast sink and the readers are not held up
        gate.set()
    assert fast.samples == {0: list(range(600)), 1: list(range(600))}
    kept = sum(len(s) for s in slow.samples.values())
    assert 0 < kept < 1200 and engine.dropped(slow) == 1200 - kept and engine.dropped(fast) == 0
    for sink in (fast, slow):
        assert sink.calls[0] == "open" and sink.calls[-1] == "close"
        assert sorted(c for c in sink.calls if c.startswith("end")) == ["end 0 completed", "end 1 completed"]
        # Every call on the sink's own thread.
        assert len(sink.threads) == 1 and threading.current_thread() not in sink.threads
    assert fast.threads != slow.threads


@pytest.mark.parametrize("fail_on", ["open", "write", "end 0 completed", "close"])
def test_a_failing_sink_ends_alone_and_its_error_reaches_the_caller_on_stop(fail_on):
    acquisition = ScriptedAcquisition([100.0], samples=300)
    good, bad = Recording("good"), Recording("bad", fail_on=fail_on)
    engine = Engine(acquisition, [bad, good], tick_seconds=0.01)
    engine.start()
    assert engine.wait(timeout=30)
    with pytest.raises(OSError, match="No space left"):
        engine.stop()
    engine.stop()  # safe again, and quiet
    assert good.samples == {0: list(range(300))} and good.calls[-1] == "close"
    assert bad.calls[-1] == "close" and bad.calls.count("close") == 1
    assert bad.calls[bad.calls.index(fail_on) + 1:] in ([], ["close"])  # nothing after the failure but close


@pytest.mark.parametrize("pause", [None, lambda seconds: threading.Event().wait(seconds)])
def test_a_failing_sink_ends_an_open_ended_run(pause):
    acquisition = ScriptedAcquisition([100.0])  # streams until stopped
    good, bad = Recording("good"), Recording("bad", fail_on="write")
    runner = threading.Thread(target=lambda: pytest.raises(OSError, Engine(acquisition, [good, bad]).run, pause),
                              daemon=True)
    runner.start()
    runner.join(timeout=30)
    assert not runner.is_alive(), "the run streamed on with its failed sink"
    assert acquisition.stop_calls == [False] and good.calls[-1] == "close"


@pytest.mark.parametrize("stuck", [True, False])
def test_stopping_leaves_a_stuck_sink_behind_and_waits_for_a_slow_one(monkeypatch, stuck):
    monkeypatch.setattr(engine_module, "SINK_STUCK_SECONDS", 0.3)
    gate = threading.Event()  # opened for the slow sink, which only takes its time
    if not stuck:
        gate.set()

    class Slow(Recording):
        def write(self, block):
            gate.wait()
            time.sleep(0.05)
            super().write(block)

    acquisition = ScriptedAcquisition([100.0], samples=600)
    good, slow = Recording("good"), Slow("slow")
    engine = Engine(acquisition, [slow, good], tick_seconds=0.01)
    engine.start()
    assert engine.wait(timeout=30)
    try:
        if stuck:
            with pytest.raises(TimeoutError, match="^sink slow has not returned from a call for 0.3 s"):
                engine.stop()
            assert "close" not in slow.calls
        else:
            engine.stop()
            assert slow.samples == {0: list(range(600))} and slow.calls[-1] == "close"
            assert slow.calls.count("write") * 0.05 > 2 * 0.3  # it took longer than the bound, and was waited for
        assert good.samples == {0: list(range(600))} and good.calls[-1] == "close"
    finally:
        gate.set()


def test_sinks_added_and_removed_while_running():
    acquisition = ScriptedAcquisition([100.0])
    first, late = Recording("first"), Recording("late")
    with Engine(acquisition, [first], tick_seconds=0.01) as engine:
        while not first.samples:
            threading.Event().wait(0.001)
        engine.add(late)
        while not late.samples:
            threading.Event().wait(0.001)
        engine.remove(first)
        with pytest.raises(ValueError, match="already fed"):
            engine.add(late)
    assert first.calls[-1] == "close" and "end 0 completed" not in first.calls
    assert late.calls[0] == "open" and late.calls[-1] == "close" and after_the_last_write(late, "end 0 completed")
    # The late sink got a tail of the stream, in order; a gap only where its queue was full, and counted.
    got = late.samples[0]
    assert got == sorted(set(got))
    assert len(got) + engine.dropped(late) == acquisition.sent[0] - got[0]


def test_an_interrupt_ends_open_streams_as_interrupted():
    acquisition = ScriptedAcquisition([100.0])
    sink = Recording()
    with pytest.raises(KeyboardInterrupt):
        with Engine(acquisition, [sink]):
            raise KeyboardInterrupt
    assert acquisition.stop_calls == [True] and sink.calls[-1] == "close"
    assert after_the_last_write(sink, "end 0 interrupted")


class FailingRead(ScriptedAcquisition):
    """Its third read raises ``error`` on the engine's thread; once stopped, it holds one more read of samples."""

    def __init__(self, error, samples):
        super().__init__([100.0, 100.0], samples=samples)
        self.error, self.held = error, None

    def read(self, timeout=None):
        if self.reads == 2:
            self.reads += 1
            raise self.error
        if self.held is not None:  # what came until the line fell quiet
            blocks, self.held = self.held, None
            return blocks
        return super().read(timeout)

    def stop(self, *, interrupted=False):
        if self.running:
            self.held = super().read()
        super().stop(interrupted=interrupted)


@pytest.mark.parametrize("samples", [None, 10**6])
@pytest.mark.parametrize("error, reason, raised", [
    (KeyboardInterrupt(), "interrupted", None),  # an interrupt raised on the engine's thread
    (RuntimeError("bug"), "failed: reading the acquisition: bug", RuntimeError),
    (MemoryError(), "failed: reading the acquisition: MemoryError", MemoryError),
])
def test_a_failing_reading_thread_still_ends_every_stream_truly_after_all_its_samples(error, reason, raised,
                                                                                      samples):
    acquisition = FailingRead(error, samples)
    sink = Recording()
    engine = Engine(acquisition, [sink], tick_seconds=0.01)
    if raised is None:
        assert engine.run() is True
    else:
        with pytest.raises(raised):
            engine.run()
    # What the acquisition still held after the failure is handed over too, then each stream's end.
    assert sink.samples == {0: list(range(acquisition.sent[0])), 1: list(range(acquisition.sent[1]))}
    assert acquisition.sent[0] > 2 * acquisition.per_read
    for index in (0, 1):
        assert after_the_last_write(sink, f"end {index} {reason}")
        # An interrupt ends an open-ended run as planned; nothing else does.
        assert sink.ends[index].complete is (raised is None and samples is None)
    assert sink.calls[-1] == "close"


def test_the_monitor_sink_hands_the_view_what_came_and_a_failure_once():
    from vexlo_tools.monitor import MonitorSink

    acquisition = ScriptedAcquisition([100.0, 100.0], samples=90, fail_at=(1, 2))
    sink = MonitorSink()
    engine = Engine(acquisition, [sink], tick_seconds=0.01)
    engine.start()
    assert engine.wait(timeout=30)
    with pytest.raises(Exception, match="MVR420 2 on /dev/pts/2: gone"):
        engine.stop()
    with pytest.raises(vexlo.VexloCommunicationError, match="MVR420 2 on /dev/pts/2: gone"):
        sink.read(0)
    first, second = sink.read(0)  # the samples waited for the read after the failure
    assert (len(first), len(second)) == (90, 30) and first.value.tolist() == [i * 0.5 for i in range(90)]
    assert [len(b) for b in sink.read(0)] == [0, 0]


def _wait_until(check):
    while not check():
        threading.Event().wait(0.001)


@pytest.mark.parametrize("latencies, paced", [((60.0,), True), ((60.0, 0.0), False)])
def test_the_engine_reads_as_often_as_its_most_hurried_sink_allows(latencies, paced):
    acquisition = ScriptedAcquisition([100.0])  # every read hands out samples
    # Queues that hold every block: an unpaced engine on a busy machine reads thousands of times
    # before the sinks' threads get a core, and drops are not what this test is about.
    sinks = [Recording(f"sink {n}", queue_blocks=10**7) for n in range(len(latencies))]
    for sink, latency in zip(sinks, latencies):
        sink.latency_seconds = latency
    with Engine(acquisition, sinks, tick_seconds=0.02):
        _wait_until(lambda: sinks[0].calls.count("tick") >= 10)
    # Samples that may wait gather until the tick: about one read per tick (two where a wait ends a hair early).
    ticks = sinks[0].calls.count("tick")
    assert (acquisition.reads <= 2 * ticks + 2) == paced, (acquisition.reads, ticks)
    assert sinks[0].samples[0] == list(range(acquisition.sent[0]))


def test_a_sink_that_lowers_its_latency_while_running_is_read_for_at_its_new_pace():
    acquisition = ScriptedAcquisition([100.0])
    sink = Recording(queue_blocks=10**7)
    sink.latency_seconds = 0.5
    with Engine(acquisition, [sink], tick_seconds=600.0):
        _wait_until(lambda: "write" in sink.calls)
        sink.latency_seconds = 0.0  # a page someone has started to watch
        reads, deadline = acquisition.reads, time.monotonic() + 20
        # At a half second's pace 60 reads would take half a minute.
        while acquisition.reads < reads + 60 and time.monotonic() < deadline:
            threading.Event().wait(0.001)
        assert acquisition.reads >= reads + 60


def test_stopping_ends_the_wait_of_samples_gathering_for_a_patient_sink():
    acquisition = ScriptedAcquisition([100.0])
    sink = Recording()
    sink.latency_seconds = 600.0
    engine = Engine(acquisition, [sink], tick_seconds=600.0)
    engine.start()
    _wait_until(lambda: "write" in sink.calls)
    stopper = threading.Thread(target=engine.stop)
    stopper.start()
    stopper.join(timeout=60)  # the gathering would hold it ten minutes
    assert not stopper.is_alive() and sink.calls[-1] == "close"
    assert sink.samples[0] == list(range(acquisition.sent[0]))


def test_a_tiny_queue_keeps_exactly_its_blocks_and_drops_and_counts_every_other():
    gate = threading.Event()

    class Shut(Recording):
        def open(self, streams):  # takes nothing until the run is over: its queue alone holds blocks
            gate.wait()
            super().open(streams)

    acquisition = ScriptedAcquisition([100.0, 100.0], per_read=7, samples=700)  # 200 blocks
    shut = Shut("shut", queue_blocks=3)
    with Engine(acquisition, [shut], tick_seconds=0.01) as engine:
        assert engine.wait(timeout=30)
        gate.set()
    assert shut.calls.count("write") == 3 and engine.dropped(shut) == 1400 - 3 * 7
    assert shut.samples == {0: list(range(14)), 1: list(range(7))}  # the first three blocks, as they came
    assert after_the_last_write(shut, "end 0 completed") and after_the_last_write(shut, "end 1 completed")


class InStep(ScriptedAcquisition):
    """Hands out a read only once the sink has written everything handed out before: a sink that keeps up."""

    def __init__(self, sink, **kwargs):
        super().__init__([100.0], **kwargs)
        self.sink = sink

    def read(self, timeout=None):
        deadline = time.monotonic() + 10  # a sink that stopped taking: the drops say so
        while sum(map(len, self.sink.samples.values())) < sum(self.sent) and time.monotonic() < deadline:
            threading.Event().wait(0.001)
        return super().read(timeout)


def test_a_sink_that_keeps_up_never_drops_however_many_blocks_it_has_taken():
    sink = Recording("steady", queue_blocks=2)
    acquisition = InStep(sink, per_read=5, samples=500)  # 100 blocks through a queue of two
    with Engine(acquisition, [sink], tick_seconds=0.01) as engine:
        assert engine.wait(timeout=30)
    assert engine.dropped(sink) == 0 and sink.samples == {0: list(range(500))}


class EndsAhead(ScriptedAcquisition):
    """Hands out each read's samples one read late, as a real acquisition holds a stream's last samples in
    its ring after its end is set: a read then brings a stream's last block and follows its end."""

    held = None

    def read(self, timeout=None):
        blocks, self.held = self.held, super().read(timeout)
        return blocks or []


def test_an_end_follows_the_last_block_of_its_own_read():
    acquisition = EndsAhead([100.0, 50.0], per_read=10, samples=100)
    sink = Recording()
    with Engine(acquisition, [sink], tick_seconds=0.01) as engine:
        assert engine.wait(timeout=30)
    assert sink.samples == {0: list(range(100)), 1: list(range(100))}
    assert after_the_last_write(sink, "end 0 completed") and after_the_last_write(sink, "end 1 completed")


class StopFails(ScriptedAcquisition):
    def stop(self, *, interrupted=False):
        super().stop(interrupted=interrupted)
        raise vexlo.VexloTimeoutError("MVR420 2 on /dev/pts/2: no answer after streaming off")


@pytest.mark.parametrize("acquisition_class, raised", [
    (StopFails, "no answer after streaming off"),  # the acquisition's error in stopping first
    (ScriptedAcquisition, "MVR420 1 on /dev/pts/1: gone"),  # then an instrument's, though the sink failed first
])
def test_stop_raises_the_stopping_error_then_the_instrument_then_the_sink(caplog, acquisition_class, raised):
    acquisition = acquisition_class([100.0, 100.0], samples=300, fail_at=(0, 5))
    bad = Recording("bad", fail_on="open")
    engine = Engine(acquisition, [bad, Recording("good")], tick_seconds=0.01)
    engine.start()
    assert engine.wait(timeout=30)
    with pytest.raises(Exception, match=raised):
        engine.stop()
    assert "also: [Errno 28] No space left on device" in caplog.text  # the others are said, not lost


@pytest.mark.parametrize("slow_open", [True, False])
def test_a_sink_is_stuck_after_one_call_outlasts_the_bound_not_the_calls_together(monkeypatch, slow_open):
    monkeypatch.setattr(engine_module, "SINK_STUCK_SECONDS", 0.5)
    gate = threading.Event()

    class Slow(Recording):
        def open(self, streams):
            super().open(streams)
            if not slow_open:
                gate.wait()  # never returns while stopping
            time.sleep(0.35)

        def write(self, block):
            time.sleep(0.35)
            super().write(block)

    acquisition = ScriptedAcquisition([100.0], per_read=100, samples=300)
    slow = Slow("slow")
    engine = Engine(acquisition, [slow], tick_seconds=10.0)
    engine.start()
    assert engine.wait(timeout=30)
    try:
        if slow_open:  # each call under the bound, all together well over it: waited for
            engine.stop()
            assert slow.samples == {0: list(range(300))} and slow.calls[-1] == "close"
        else:
            with pytest.raises(TimeoutError, match="^sink slow has not returned from a call"):
                engine.stop()
            assert slow.calls == ["open"]
    finally:
        gate.set()
