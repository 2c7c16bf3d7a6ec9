"""Frame building and response validation take the checksum in place only
while calculate_checksum is the module's own; these cases make sure every
kind of override is still called, with what Python code would pass it."""

import enum

import pytest

import vexlo_device_communication as vexlo

MODEL_FRAME = bytes.fromhex("0005010111")


def fixed_checksum(calls):
    def calculate_checksum(*args):
        calls.append(bytes(args[-1]))
        return 0x42
    return calculate_checksum


def on_subclass(calls, monkeypatch):
    class Fixed(vexlo._CommandOperations):
        def calculate_checksum(self, byte_array):
            return fixed_checksum(calls)(byte_array)
    return Fixed()


def on_instance(calls, monkeypatch):
    commands = vexlo._CommandOperations()
    commands.calculate_checksum = fixed_checksum(calls)
    return commands


def on_class(calls, monkeypatch):
    monkeypatch.setattr(vexlo._CommandOperations, "calculate_checksum", fixed_checksum(calls))
    return vexlo._CommandOperations()


OVERRIDES = [on_subclass, on_instance, on_class]


@pytest.mark.parametrize("override", OVERRIDES)
def test_overridden_checksum_builds_the_frame(override, monkeypatch):
    calls = []
    commands = override(calls, monkeypatch)
    frame = commands.get_command_byte_array(commands.Get_Model_Number_Command)
    assert frame == bytearray.fromhex("0005010142") and type(frame) is bytearray
    assert calls == [MODEL_FRAME[:-1]]


@pytest.mark.parametrize("override", OVERRIDES)
@pytest.mark.parametrize("kind", [bytes, bytearray])
def test_overridden_checksum_validates_responses(override, kind, monkeypatch):
    calls = []
    commands = override(calls, monkeypatch)
    commands.validate_response_checksum(kind(b"\x01\x02\x03\x42"))
    assert calls == [b"\x01\x02\x03"]
    with pytest.raises(vexlo.VexloProtocolError, match="^Invalid checksum in response$"):
        commands.validate_response_checksum(kind(MODEL_FRAME))


def test_checksum_out_of_byte_range_fails_like_append(records):
    class Wide(vexlo._CommandOperations):
        def calculate_checksum(self, byte_array):
            return 300

    with pytest.raises(vexlo.VexloProtocolError) as info:
        Wide().get_command_byte_array(Wide().Get_Model_Number_Command)
    assert str(info.value) == "Failed to construct command: byte must be in range(0, 256)"
    assert type(info.value.__cause__) is ValueError


def test_frame_of_another_type_is_appended_to_by_its_own_method(commands):
    class ListCommand(vexlo._Command):
        def toByteArray(self):  # noqa: N802
            return [0, self.command_length, self.command_high_byte, self.command_low_byte]

    frame = commands.get_command_byte_array(ListCommand(1, 1, 5, 0, 10, 15, "ascii"), b"")
    assert frame == list(MODEL_FRAME)


@pytest.mark.parametrize("payload", [b"AB\x00\xc3" + bytes(6), b"\x00\x00\x00\x00\x00\x00\x00\x00\x00\xff"])
@pytest.mark.parametrize("kind", [bytes, bytearray])
def test_ascii_error_names_the_byte_where_it_stands(commands, payload, kind):
    expected = None
    try:
        payload.decode("ascii")
    except UnicodeDecodeError as error:
        expected = "Failed to convert payload: " + str(error)
    with pytest.raises(vexlo.VexloProtocolError) as info:
        commands.convert_payload(10, "ascii", kind(b"\x00\x0f\x01\x01" + payload + b"\x00"))
    assert str(info.value) == expected


class Count(enum.IntEnum):
    HIGH = 3_000_000_000


@pytest.mark.parametrize("reading, same_as", [(True, 1), (Count.HIGH, 3_000_000_000), (2 ** 53 + 1, 2 ** 53)])
def test_integer_readings_convert_as_their_float(reading, same_as):
    converter = vexlo.ADCConverter()
    converter.number_of_directions = 0
    converter.direction_1_fullscale_value = 4.0e9
    converter.direction_1_fullscale_load = 400.0
    assert converter.convert_adc(reading) == converter.convert_adc(same_as)


def test_integer_reading_beyond_float_range():
    with pytest.raises(OverflowError, match="^int too large to convert to float$"):
        vexlo.ADCConverter().convert_adc(10 ** 400)


def test_catalogue_descriptors_match_constructed_ones(commands):
    made = commands.Get_Model_Number_Command
    constructed = vexlo._Command(0x01, 0x01, 5, 0, 10, 15, "ascii")
    assert list(vars(made).items()) == list(vars(constructed).items())
    assert type(made) is vexlo._Command


def test_catalogue_goes_through_a_patched_constructor(commands, monkeypatch):
    # (__new__ is not patched here: deleting a patched __new__ leaves any
    # class, Python ones too, unable to take constructor arguments.)
    seen = []
    original = vexlo._Command.__init__

    def patched(self, *args):
        seen.append(args)
        original(self, *args)

    monkeypatch.setattr(vexlo._Command, "__init__", patched)
    command = commands.Get_Item_Number_Command
    assert seen == [(0x01, 0x02, 5, 0, 10, 15, "ascii")]
    assert command.toByteArray() == bytearray([0, 5, 1, 2])
