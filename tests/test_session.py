"""The one session run every streaming command, the demo and the live page share."""
import pytest

import vexlo_device_communication as vexlo
from vexlo_tools import session
from vexlo_tools.devices import NoInstrumentError
from vexlo_tools.engine import CallbackSink
from vexlo_tools.sim import SimulatedInstrument, simulated_ports


class Ends(CallbackSink):
    def __init__(self):
        self.blocks, self.ends = [], []
        super().__init__(self.blocks.append)

    def end(self, index, end):
        super().end(index, end)
        self.ends.append(end)


@pytest.mark.parametrize("options, reason, samples", [
    ({"seconds": 0.2}, "completed", 260),  # exactly its seconds of data, at the rate asked
    ({"until": lambda: True}, "interrupted", None),  # ended as asked: an open-ended run's planned end
])
def test_a_session_streams_the_instruments_found_and_puts_their_rate_back(options, reason, samples):
    instrument = SimulatedInstrument.mvr420()
    with simulated_ports({"/dev/ttySIM0": instrument}):
        sink = Ends()
        assert session.run([sink], ports=["/dev/ttySIM0"], models=["MVR420"], rate=1300, **options) is False
    [end] = sink.ends
    assert (end.reason, end.complete) == (reason, True)
    assert sum(map(len, sink.blocks)) == end.stats.received == (samples or end.stats.received)
    assert instrument.profiles[0].sampling_rate_code != 7 and not instrument.streaming  # 1300/s is code 7


@pytest.mark.parametrize("options, error, message", [
    ({"ports": ["/dev/no-such-vexlo-port"]}, NoInstrumentError, "no instrument found on /dev/no-such-vexlo-port"),
    ({"ports": ["/dev/ttySIM0"], "models": ["PLX310"]}, NoInstrumentError, "/dev/ttySIM0: no answer"),
    ({"ports": ["/dev/ttySIM0"], "rate": 7.5}, vexlo.VexloInvalidParameterError, "7.5"),
    ({"ports": ["/dev/ttySIM0"], "rate": float("nan")}, ValueError, "finite"),
])
def test_a_session_refuses_what_it_cannot_run_before_streaming(options, error, message):
    instrument = SimulatedInstrument.mvr420()
    with simulated_ports({"/dev/ttySIM0": instrument}):
        sink = Ends()
        with pytest.raises(error, match=message):
            session.run([sink], **options)
    assert not instrument.streaming and sink.blocks == [] and sink.ends == []
