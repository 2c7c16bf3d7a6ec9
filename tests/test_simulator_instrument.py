"""The simulated instrument at frame level: requests built by hand, answers checked byte by byte."""

import logging
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vexlo_tools.sim import (
    COMMANDS,
    Profile,
    RawTedsSensor,
    SimulatedInstrument,
    TedsSensor,
    build_request,
    checksum,
    simulated_ports,
)
from vexlo_tools.sim.choices import PRESETS, parse_instrument
from vexlo_tools.sim.protocol import Request, RequestParser
import vexlo_device_communication as vexlo


req = build_request


def payload_of(answer, high, low, length):
    """Check the framing of an answer and return its payload."""
    assert answer is not None, "instrument stayed silent"
    assert len(answer) == length + 5
    assert answer[:4] == bytes([0x00, length + 5, high, low])
    assert answer[-1] == checksum(answer[:-1])
    return answer[4:-1]


@pytest.fixture
def plx():
    return SimulatedInstrument.plx310_plus_prime(serial_number=0x01020304, firmware_version=(4, 3, 2))


def test_hand_built_request_frames_match_the_protocol():
    assert build_request(0x01, 0x01) == bytes.fromhex("0005010111")
    assert build_request(0x00, 0x05, [0]) == bytes.fromhex("000600050020")
    assert build_request(0x01, 0x02) == bytes.fromhex("0005010215")
    assert build_request(0x01, 0x00) == bytes.fromhex("000501000D")
    assert build_request(0x01, 0x04) == bytes.fromhex("000501041D")


# Every command of the catalogue, with arguments, and the payload the default
# Plus Prime (profile 0, electrical: 0x80000000 .. 3072000000 at 2.0 mV/V, mirrored) must give.
EVERY_COMMAND = [
    ("0101", b"", b"PLX310\0\0\0\0"),
    ("0102", b"", b"QMT31872\0\0"),
    ("0100", b"", bytes.fromhex("01020304")),
    ("0104", b"", bytes.fromhex("040302")),
    ("0007", b"", (9075075).to_bytes(4, "big")),
    ("0001", b"", b""),
    ("0005", b"\x00", (0x80000000).to_bytes(4, "big")),
    ("000C", b"\x00", b""),
    ("010A", b"\x01", b"\x00"),
    ("020A", b"\x01\x02", b""),
    ("0300", b"\x02", (100003).to_bytes(4, "big")),
    ("031E", b"\x00", b"\x07"),
    ("041E", b"\x00\x08", b""),
    ("030C", b"\x00", bytes([34])),
    ("040C", b"\x00\x05", b""),
    ("0317", b"\x00", b"\x02"),
    ("0318", b"\x00\x01", struct.pack("<f", 2.0)),
    ("0418", b"\x00\x01" + struct.pack("<f", 500.0), b""),
    ("0319", b"\x00\x01", (3_072_000_000).to_bytes(4, "big")),
    ("0419", b"\x00\x01\x00\xb7\x1b\x00", b""),
    ("030B", b"\x00", b"\x01"),
    ("040B", b"\x00\x00", b""),
    ("0120", b"", b"\x01"),
    ("011F", b"", TedsSensor().laser()),
    ("011E", b"\x00", TedsSensor().image()[:32]),
    ("021D", b"", b""),
    ("0121", b"", b"\x00"),
    ("0221", b"\x01", b""),
    ("0122", b"", b"\x00"),
    ("0222", b"\x01", b""),
]


def test_the_table_covers_the_whole_command_set():
    assert {bytes.fromhex(code) for code, _, _ in EVERY_COMMAND} == {bytes(key) for key in COMMANDS}


OLD_AUTO_TEDS = {"0121", "0221"}


@pytest.mark.parametrize("code,args,payload", EVERY_COMMAND, ids=[c for c, _, _ in EVERY_COMMAND])
def test_every_command_is_answered_with_a_framed_payload(plx, code, args, payload):
    if code in OLD_AUTO_TEDS:
        plx.firmware_version = bytes([4, 2, 9])  # the old AutoTEDS commands' firmware
    high, low = bytes.fromhex(code)
    request = build_request(high, low, args)
    assert len(request) == COMMANDS[(high, low)].request_length
    assert payload_of(plx.respond(request, now=0.0), high, low, len(payload)) == payload


@pytest.mark.parametrize(
    "setting,query,expect",
    [
        (req(0x02, 0x0A, b"\x01\x05"), req(0x01, 0x0A, b"\x01"), b"\x05"),
        (req(0x04, 0x1E, b"\x03\x02"), req(0x03, 0x1E, b"\x03"), b"\x02"),
        (req(0x04, 0x0C, b"\x03\x1f"), req(0x03, 0x0C, b"\x03"), b"\x1f"),
        (req(0x04, 0x0B, b"\x03\x00"), req(0x03, 0x0B, b"\x03"), b"\x00"),
        (req(0x04, 0x18, b"\x02\x03" + struct.pack("<f", 0.1)), req(0x03, 0x18, b"\x02\x03"), struct.pack("<f", 0.1)),
        (req(0x04, 0x19, b"\x02\x03\x12\x34\x56\x00"), req(0x03, 0x19, b"\x02\x03"), bytes.fromhex("12345600")),
        (req(0x02, 0x22, b"\x01"), req(0x01, 0x22), b"\x01"),
    ],
)
def test_settings_change_what_queries_read(plx, setting, query, expect):
    assert payload_of(plx.respond(setting, 0.0), setting[2], setting[3], 0) == b""
    assert payload_of(plx.respond(query, 0.0), query[2], query[3], len(expect)) == expect


def test_auto_teds_on_value_is_configurable(plx):
    plx.auto_teds = True
    plx.auto_teds_on_code = 255
    assert plx.respond(req(0x01, 0x22), 0.0)[4] == 255
    plx.respond(req(0x02, 0x22, b"\x00"), 0.0)
    assert plx.respond(req(0x01, 0x22), 0.0)[4] == 0


@pytest.mark.parametrize("firmware,answered", [((4, 2, 9), "old"), ((4, 3, 2), "v1"), ((5, 0, 0), "v1"),
                                               ((3, 9, 9), "old")])
def test_auto_teds_is_answered_only_in_the_firmwares_generation(firmware, answered):
    inst = SimulatedInstrument.plx310_plus_prime(firmware_version=firmware)
    for generation, low in (("old", 0x21), ("v1", 0x22)):
        setting = inst.respond(req(0x02, low, b"\x01"), 0.0)
        query = inst.respond(req(0x01, low), 0.0)
        assert (setting is not None, query is not None) == (generation == answered,) * 2
    assert inst.auto_teds and [r.answered for r in inst.request_log] == [answered == "old"] * 2 + [answered == "v1"] * 2


@pytest.mark.parametrize(
    "request_frame,reason",
    [
        (bytes.fromhex("0005010112"), "checksum mismatch"),
        (bytes.fromhex("0006010111"), "length"),
        (build_request(0x07, 0x07), "unknown command 07 07"),
        (bytes.fromhex("00050101"), "incomplete"),
        (build_request(0x00, 0x05, [7]), "no channel 7"),
        (build_request(0x03, 0x1E, [8]), "no profile 8"),
        (build_request(0x03, 0x18, [0, 4]), "no loading point 4"),
        (build_request(0x01, 0x1E, [16]), "no TEDS page 16"),
        (build_request(0x04, 0x1E, [0, 16]), "rate code 16"),
        (build_request(0x04, 0x0C, [0, 64]), "unit code 64"),
        (build_request(0x02, 0x0A, [0, 8]), "no profile 8"),
        (build_request(0x00, 0x0C, [2]), "neither 0 nor 1"),
    ],
)
def test_bad_requests_get_silence_and_a_log_record(plx, caplog, request_frame, reason):
    with caplog.at_level(logging.WARNING, logger="vexlo_tools.sim"):
        assert plx.respond(request_frame, 0.0) is None
    assert reason in caplog.text


def test_refused_setting_leaves_state_alone(plx):
    plx.respond(build_request(0x04, 0x1E, [0, 16]), 0.0)
    assert plx.profiles[0].sampling_rate_code == 7
    assert plx.request_log[-1].name == "set_sampling_rate" and not plx.request_log[-1].answered


@pytest.mark.parametrize("factory", [SimulatedInstrument.mvr420, SimulatedInstrument.plx310])
@pytest.mark.parametrize("code", ["0120", "011F", "0121", "0122"])
def test_teds_commands_go_unanswered_without_teds_hardware(factory, code):
    high, low = bytes.fromhex(code)
    assert factory().respond(build_request(high, low), 0.0) is None


def test_rate_code_15_is_stored_on_any_plx310():
    # Refusing 38400 SPS on the standard edition is the host's job.
    inst = SimulatedInstrument.plx310()
    assert inst.respond(build_request(0x04, 0x1E, [0, 15]), 0.0) is not None
    assert inst.profiles[0].sampling_rate_code == 15


@pytest.mark.parametrize(
    "factory,model,rate_code,bauds",
    [
        (SimulatedInstrument.plx310, b"PLX310", 7, {2000000}),
        (SimulatedInstrument.mvr420, b"MVR420", 3, {320000, 115200}),
        (SimulatedInstrument.dta530, b"DTA530", 3, {320000, 115200}),
        (SimulatedInstrument.hsk640, b"HSK640", 3, {320000, 115200}),
    ],
)
def test_presets(factory, model, rate_code, bauds):
    inst = factory()
    assert payload_of(inst.respond(req(0x01, 0x01), 0.0), 1, 1, 10) == model.ljust(10, b"\0")
    assert inst.profiles[0].sampling_rate_code == rate_code
    assert inst.baud_rates == bauds
    assert inst.stream_rate() == 100.0


# ----------------------------------------------------------------- calibration

def host_reading(profile, count):
    """The host's two-point conversion, written out for the default mirrored calibration."""
    n = profile.points_per_direction
    o1, f1, F1 = profile.counts[0], profile.counts[n - 1], profile.loads[n - 1]
    o2, f2, F2 = profile.counts[n], profile.counts[2 * n - 1], profile.loads[2 * n - 1]
    if count >= o1 or profile.direction_code != 1:
        return (count - o1) * F1 / (f1 - o1)
    return -((count - o2) * F2 / (f2 - o2))


@pytest.mark.parametrize("load", [0.0, 1.0, 250.0, 1000.0, -1.0, -400.0, -1000.0])
@pytest.mark.parametrize("points", [2, 5])
def test_set_load_gives_the_count_the_host_converts_back(load, points):
    inst = SimulatedInstrument.mvr420(profiles=[Profile.linear(points_per_direction=points)])
    count = inst.set_load(load)
    assert int.from_bytes(inst.respond(req(0x00, 0x05, b"\x00"), 0.0)[4:8], "big") == count
    # One ADC step is worth about 0.0003 load units here; rounding costs at most half of one.
    assert host_reading(inst.profiles[0], count) == pytest.approx(load, abs=0.15)


def test_set_load_uses_the_selected_profile_and_clamps():
    profiles = [Profile.linear(), Profile.linear(offset_count=1000, fullscale_count=2000, capacity=10.0)]
    inst = SimulatedInstrument.hsk640(profiles=profiles)
    inst.select_profile(1, channel=1)
    assert inst.set_load(5.0, channel=1) == 1536  # 1500 to the ADC's step of 256
    assert inst.set_load(-1e9, channel=1) == 0
    assert inst.set_load(1e12, channel=0) == 0xFFFFFF00


def test_linear_profile_layout():
    p = Profile.linear(offset_count=1000, fullscale_count=4000, capacity=30.0, points_per_direction=4,
                       two_directions=False)
    assert p.points_per_direction == 4
    assert p.loads == [0.0, 10.0, 20.0, 30.0, 0.0, 10.0, 20.0, 30.0]
    # One direction: the second half of the table repeats the first.
    assert p.counts == [1000, 2000, 3000, 4000] * 2
    assert p.direction_code == 0
    mirrored = Profile.linear(offset_count=5000, fullscale_count=8000, capacity=3.0)
    assert mirrored.counts == [5000, 8000, 5000, 2000] and mirrored.direction_code == 1


@pytest.mark.parametrize(
    "kwargs,message",
    [
        (dict(loads=[0.0], counts=[0]), "even"),
        (dict(loads=[0.0, 1.0], counts=[0]), "loads but"),
        (dict(loads=[0.0, 1.0], counts=[0, -1]), "count"),
        (dict(loads=[0.0, 1.0], counts=[0, 1], sampling_rate_code=256), "sampling_rate_code"),
    ],
)
def test_profile_rejects_bad_tables(kwargs, message):
    with pytest.raises(ValueError, match=message):
        Profile(**kwargs)


# ------------------------------------------------------------------------ TEDS

def image_bits(image, start, length):
    """Read a field of the TEDS bit stream (page checksum bytes left out), least significant bit first."""
    data = b"".join(image[p * 32 + 1 : p * 32 + 32] for p in range(16))
    return sum(((data[(start + i) // 8] >> ((start + i) % 8)) & 1) << i for i in range(length))


def image_float(image, start):
    return struct.unpack("<f", image_bits(image, start, 32).to_bytes(4, "little"))[0]


def test_teds_image_fields_sit_at_their_bits():
    sensor = TedsSensor(serial_number=12345, unit_code=4, min_capacity=-1.0, max_capacity=500.0,
                        min_electrical=0.25, max_electrical=2.0, reverse_scaling=True,
                        reverse_max_electrical=1.5, template_id=33)
    image = sensor.image()
    assert len(image) == 512
    assert image[6:9] == bytes.fromhex("393000")
    assert image[10] >> 2 == 4
    assert image[11:15] == bytes.fromhex("000080BF")
    assert struct.unpack("<f", image[15:19])[0] == 500.0
    assert image_float(image, 146) == struct.unpack("<f", struct.pack("<f", 0.00025))[0]
    assert image_float(image, 178) == struct.unpack("<f", struct.pack("<f", 0.002))[0]
    assert image[74] == 0x55
    assert struct.unpack("<f", image[75:79])[0] == struct.unpack("<f", struct.pack("<f", 0.0015))[0]
    assert image_bits(image, 66, 8) == 33
    assert sensor.laser()[0] == 33


def test_teds_reverse_flag_off_and_page_checksums():
    image = TedsSensor(reverse_scaling=False).image()
    assert image[74] == 0
    for page in range(16):
        assert sum(image[page * 32 : page * 32 + 32]) % 256 == 0


def test_teds_bits_do_not_leak_into_neighbours():
    # Only the unit code set: byte 10's two low bits and every other data byte stay clear.
    image = TedsSensor(serial_number=0, unit_code=63, max_capacity=0.0, max_electrical=0.0,
                       reverse_scaling=False, reverse_max_electrical=0.0, template_id=0,
                       manufacturer_id=0, model_number=0, version_letter=0, version_number=0).image()
    assert image[10] == 0xFC
    assert [i for i, b in enumerate(image) if b and i % 32] == [10]


@pytest.mark.parametrize("field,value", [("serial_number", 1 << 24), ("unit_code", 64), ("max_capacity", 1e39)])
def test_teds_fields_out_of_range_are_refused(field, value):
    with pytest.raises(ValueError, match=field):
        TedsSensor(**{field: value}).image()


def test_page_reads_assemble_the_image(plx):
    pages = b"".join(payload_of(plx.respond(req(0x01, 0x1E, [p]), 0.0), 1, 0x1E, 32) for p in range(16))
    assert pages == plx.teds_sensor.image()


def test_raw_sensor_and_no_sensor():
    image = bytes(range(256)) * 2
    inst = SimulatedInstrument.plx310_plus_prime(teds_sensor=RawTedsSensor(image, bytes(range(1, 9))))
    assert payload_of(inst.respond(req(0x01, 0x1E, [15]), 0.0), 1, 0x1E, 32) == image[480:]
    assert payload_of(inst.respond(req(0x01, 0x1F), 0.0), 1, 0x1F, 8) == bytes(range(1, 9))
    inst.teds_sensor = None
    assert inst.respond(req(0x01, 0x20), 0.0)[4] == 0
    assert inst.respond(req(0x01, 0x1F), 0.0) == bytes(13)
    with pytest.raises(ValueError):
        RawTedsSensor(bytes(511))


# ---------------------------------------------------------------------- faults

def test_silence_for_a_number_of_requests_then_answers(plx):
    plx.go_silent(requests=2)
    assert plx.respond(req(0x01, 0x01), 0.0) is None
    assert plx.respond(req(0x02, 0x0A, [0, 3]), 0.0) is None
    assert plx.channels[0].selected_profile == 0  # an ignored setting is not carried out
    assert plx.respond(req(0x01, 0x01), 0.0) is not None
    assert [r.answered for r in plx.request_log] == [False, False, True]


def test_silence_until_cleared(plx):
    plx.go_silent()
    assert all(plx.respond(req(0x01, 0x01), 0.0) is None for _ in range(5))
    plx.clear_faults()
    assert plx.respond(req(0x01, 0x01), 0.0) is not None


@pytest.mark.parametrize("answers,affected", [(1, 1), (3, 3), (None, 5)])
def test_short_answers(plx, answers, affected):
    plx.answer_short(4, answers=answers)
    lengths = [len(plx.respond(req(0x01, 0x01), 0.0)) for _ in range(5)]
    assert lengths == [4] * affected + [15] * (5 - affected)


@pytest.mark.parametrize("answers,affected", [(1, 1), (2, 2), (None, 4)])
def test_corrupted_checksums(plx, answers, affected):
    plx.corrupt_checksums(answers=answers)
    answers_seen = [plx.respond(req(0x00, 0x05, [0]), 0.0) for _ in range(4)]
    bad = [a[-1] != checksum(a[:-1]) for a in answers_seen]
    assert bad == [True] * affected + [False] * (4 - affected)
    assert all(len(a) == 9 for a in answers_seen)


# ------------------------------------------------------------------ byte stream

def test_receive_resynchronises_after_noise_and_split_frames(plx, caplog):
    model = build_request(0x01, 0x01)
    item = build_request(0x01, 0x02)
    with caplog.at_level(logging.WARNING, logger="vexlo_tools.sim"):
        plx.receive(b"\xff\x13" + model[:3], 0.0)
        plx.receive(model[3:] + b"\x00\x06" + item, 0.01)
    out = plx.transmit(0.01)
    assert out[:15] == plx.respond(model, 0.0)
    assert out[15:] == plx.respond(item, 0.0)
    assert "ignored" in caplog.text


@pytest.mark.parametrize("pause,dropped", [(0.05, False), (1.0, True)])
def test_incomplete_frame_is_dropped_after_a_pause(plx, caplog, pause, dropped):
    ndr = build_request(0x00, 0x05, [0])
    with caplog.at_level(logging.WARNING, logger="vexlo_tools.sim"):
        plx.receive(ndr[:4], 0.0)
        plx.receive(ndr[4:], pause)
    assert ("incomplete frame timed out" in caplog.text) == dropped
    assert len(plx.transmit(pause)) == (0 if dropped else 9)


@given(chunks=st.lists(st.binary(max_size=40), max_size=8))
@settings(max_examples=300, deadline=None)
def test_parser_accounts_for_every_byte_and_never_raises(chunks):
    parser = RequestParser()
    items = []
    for chunk in chunks:
        items += parser.feed(chunk, 0.0)
    consumed = b"".join(i.frame if isinstance(i, Request) else i.data for i in items)
    assert consumed + parser.pending == b"".join(chunks)
    for item in items:
        if isinstance(item, Request):
            assert item.frame[-1] == checksum(item.frame[:-1])


@given(noise=st.binary(max_size=30))
@settings(max_examples=200, deadline=None)
def test_a_good_request_after_noise_and_a_pause_is_answered(noise):
    inst = SimulatedInstrument.mvr420()
    inst.receive(noise, 0.0)
    inst.transmit(0.0)
    inst.receive(build_request(0x01, 0x01), 1.0)
    assert inst.transmit(1.0).endswith(inst.respond(build_request(0x01, 0x01), 1.0))


@pytest.mark.parametrize("kind", sorted(PRESETS))
def test_a_model_has_one_default_calibration_from_text_and_from_python(kind):
    from_text = parse_instrument(kind).build()
    from_python = PRESETS[kind]()
    assert from_text.profiles == from_python.profiles


@pytest.mark.parametrize("text, reading, unit", [
    ("plx310-plus-prime:load=250", 0.5, "mVV"),      # the electrical calibration; N once AutoTEDS is on
    ("plx310-plus-prime:load=250:teds=off", 250.0, "N"),
    ("mvr420:load=250", 250.0, "N"),
])
def test_the_default_calibration_reads(text, reading, unit):
    instrument = parse_instrument(text).build()
    with simulated_ports({"/dev/ttySIM0": instrument}):
        [device] = vexlo.VexloSerialScanner.discover_devices(device_models=[instrument.model])
        with device:
            assert device.get_reading(0) == pytest.approx(reading, abs=1e-6)
            assert device.get_unit_of_measure(0).name == unit
