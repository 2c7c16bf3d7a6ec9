import struct

import pytest
from hypothesis import given, strategies as st

import vexlo_device_communication as vexlo
from reference import checksum, frame

# name, high, low, command length, arguments length, payload length, receive length, payload type
CATALOGUE = [
    ("Get_Model_Number_Command", 0x01, 0x01, 5, 0, 10, 15, "ascii"),
    ("Get_Board_Temperature", 0x00, 0x07, 5, 0, 4, 9, "int"),
    ("Get_Ndr_Command", 0x00, 0x05, 6, 1, 4, 9, "int"),
    ("Slave_Activity_Inquiry_Command", 0x00, 0x01, 5, 0, 5, 0, 5),
    ("Get_Sampling_Rate_Command", 0x03, 0x1E, 6, 1, 1, 6, "int"),
    ("Set_Sampling_Rate_Command", 0x04, 0x1E, 7, 2, 0, 5, "NA"),
    ("Get_Number_Of_Loading_Points_Command", 0x03, 0x17, 6, 1, 1, 6, "int"),
    ("Get_Load_Of_Loading_Point_Command", 0x03, 0x18, 7, 2, 4, 9, "float"),
    ("Get_Loading_Point_Value_Command", 0x03, 0x19, 7, 2, 4, 9, "int"),
    ("Get_Number_Of_Directions_Command", 0x03, 0x0B, 6, 1, 1, 6, "int"),
    ("Set_Load_Of_Loading_Point_Command", 0x04, 0x18, 11, 2, 4, 5, "int"),
    ("Set_Loading_Point_Value_Command", 0x04, 0x19, 11, 2, 4, 5, "int"),
    ("Set_Number_Of_Directions_Command", 0x04, 0x0B, 7, 2, 0, 5, "int"),
    ("Set_Streaming_State_Command", 0x00, 0x0C, 6, 1, 0, 5, "raw"),
    ("Get_Instrument_Serial_Number_Command", 0x01, 0x00, 5, 0, 4, 9, "int"),
    ("Get_Sensor_Serial_Number_Command", 0x03, 0x00, 6, 1, 4, 9, "int"),
    ("Get_Item_Number_Command", 0x01, 0x02, 5, 0, 10, 15, "ascii"),
    ("Get_Device_Channel_Selected_Profile_Command", 0x01, 0x0A, 6, 1, 1, 6, "int"),
    ("Set_Device_Channel_Selected_Profile_Command", 0x02, 0x0A, 7, 2, 0, 5, "NA"),
    ("Get_Device_Unit_Of_Measure_Command", 0x03, 0x0C, 6, 1, 1, 6, "int"),
    ("Set_Device_Unit_Of_Measure_Command", 0x04, 0x0C, 7, 2, 0, 5, "NA"),
    ("Get_TEDS_Laser_Command", 0x01, 0x1F, 5, 0, 8, 13, "raw"),
    ("Get_TEDS_Data_Command", 0x01, 0x1E, 6, 1, 32, 37, "raw"),
    ("TEDS_Is_Connected_Command", 0x01, 0x20, 5, 0, 1, 6, "int"),
    ("Get_Auto_TEDS_Command", 0x01, 0x21, 5, 0, 1, 6, "int"),
    ("Get_Auto_TEDS_V1_Command", 0x01, 0x22, 5, 0, 1, 6, "int"),
    ("Set_Auto_TEDS_Command", 0x02, 0x21, 6, 1, 0, 5, "NA"),
    ("Set_Auto_TEDS_V1_Command", 0x02, 0x22, 6, 1, 0, 5, "NA"),
    ("Set_All_TEDS_Data_Command", 0x02, 0x1D, 5, 0, 0, 5, "NA"),
    ("Get_Firmware_Version_With_Patch_Command", 0x01, 0x04, 5, 0, 3, 8, "hex_string"),
]


@pytest.mark.parametrize("entry", CATALOGUE, ids=[e[0] for e in CATALOGUE])
def test_catalogue_entries(commands, entry):
    name, high, low, length, args, payload, receive, kind = entry
    command = getattr(commands, name)
    assert isinstance(command, vexlo._Command)
    assert (command.command_high_byte, command.command_low_byte, command.command_length,
            command.arguments_length, command.payload_length, command.receive_length,
            command.payload_type) == (high, low, length, args, payload, receive, kind)
    assert command.toByteArray() == bytearray([0, length, high, low])
    with pytest.raises(AttributeError):
        setattr(commands, name, command)


def test_descriptor_identity(commands):
    assert commands.Get_Ndr_Command is commands.Get_Ndr_Command is commands.ndr_command
    first, second = commands.Get_Model_Number_Command, commands.Get_Model_Number_Command
    assert first is not second and vars(first) == vars(second)


def test_command_attributes_in_order():
    command = vexlo._Command(1, 2, 3, 4, 5, 6)
    assert list(vars(command).items()) == [
        ("command_high_byte", 1), ("command_low_byte", 2), ("command_length", 3),
        ("arguments_length", 4), ("payload_length", 5), ("payload_type", "NA"), ("receive_length", 6)]
    with pytest.raises(TypeError):
        vexlo._Command(1, 2, 3, 4, 5)


@pytest.mark.parametrize("values, error", [((0, 256, 1), ValueError), ((0, -1, 1), ValueError),
                                           ((0, "a", 1), TypeError), ((0, 1.0, 1), TypeError)])
def test_to_byte_array_range(values, error):
    with pytest.raises(error):
        vexlo._Command(*values, 0, 0, 0).toByteArray()


@pytest.mark.parametrize("name, frame", [
    ("Get_Model_Number_Command", "0005010111"), ("Get_Item_Number_Command", "0005010215"),
    ("Get_Instrument_Serial_Number_Command", "000501000d"),
    ("Get_Firmware_Version_With_Patch_Command", "000501041d")])
def test_identity_request_frames(commands, name, frame):
    assert commands.get_command_byte_array(getattr(commands, name)).hex() == frame


def test_ndr_frame_and_argument_kinds(commands):
    ndr = commands.Get_Ndr_Command
    for arguments in (bytearray([0]), b"\x00", [0], (0,), iter([0])):
        built = commands.get_command_byte_array(ndr, arguments)
        assert type(built) is bytearray and built.hex() == "000600050020"
    # argument counts are not checked against the command length
    assert commands.get_command_byte_array(ndr, bytearray([1, 2, 3])) == bytearray(
        frame((0, 6, 0, 5, 1, 2, 3)))
    default = commands.get_command_byte_array(ndr)
    assert default == bytearray(frame((0, 6, 0, 5)))
    assert commands.get_command_byte_array(ndr) is not default


def test_command_subclass_is_accepted(commands):
    class Special(vexlo._Command):
        pass

    assert commands.get_command_byte_array(Special(1, 1, 5, 0, 10, 15)).hex() == "0005010111"


@pytest.mark.parametrize("command, name", [((1, 2), "tuple"), ({}, "dict"), (None, "NoneType")])
def test_invalid_command_type(commands, records, command, name):
    with pytest.raises(vexlo.VexloProtocolError) as info:
        commands.get_command_byte_array(command)
    assert str(info.value) == "Invalid command type: " + name
    assert records() == []


@pytest.mark.parametrize("arguments, cause", [([1, 300], ValueError), (5, TypeError), (["a"], TypeError)])
def test_frame_construction_failure(commands, records, arguments, cause):
    with pytest.raises(vexlo.VexloProtocolError) as info:
        commands.get_command_byte_array(commands.Get_Ndr_Command, arguments)
    error = info.value
    assert type(error.__cause__) is cause and error.__context__ is error.__cause__
    assert str(error) == "Failed to construct command: " + str(error.__cause__)
    assert records() == [("ERROR", "Error constructing command: " + str(error.__cause__))]


def test_frame_building_uses_overridden_checksum():
    class Fixed(vexlo._CommandOperations):
        def calculate_checksum(self, byte_array):
            return 0x42

    assert Fixed().get_command_byte_array(Fixed().Get_Model_Number_Command).hex() == "0005010142"


@pytest.mark.parametrize("data, expected", [([], 0), ([0xFF], 255), ([1] * 256, 128), (b"\x00\x05\x01\x01", 17)])
def test_checksum_values(commands, data, expected):
    for kind in (list, tuple, bytes, bytearray, iter):
        assert commands.calculate_checksum(kind(data)) == expected


@given(st.binary(max_size=300))
def test_checksum_matches_reference(data):
    commands = vexlo._CommandOperations()
    assert commands.calculate_checksum(data) == checksum(data)
    assert commands.calculate_checksum(list(data)) == checksum(data)


@pytest.mark.parametrize("data, error", [([256], OverflowError), ([-1], OverflowError), (["x"], TypeError),
                                         ([1.5], TypeError), (None, TypeError)])
def test_checksum_rejects_non_bytes(commands, data, error):
    with pytest.raises(error):
        commands.calculate_checksum(data)


def test_validate_response_checksum(commands, records):
    assert commands.validate_response_checksum(bytes(5)) is None
    good = frame((0, 9, 0, 5, 0, 1, 0x86, 0xA0))
    commands.validate_response_checksum(bytearray(good))
    commands.validate_response_checksum(list(good))
    bad = good[:-1] + bytes([(good[-1] + 1) % 256])
    with pytest.raises(vexlo.VexloProtocolError, match="^Invalid checksum in response$"):
        commands.validate_response_checksum(bad)
    assert records() == [("ERROR", "Checksum mismatch")]
    for short in (b"", b"\x00"):
        with pytest.raises(vexlo.VexloProtocolError, match="^Response too short for checksum validation$"):
            commands.validate_response_checksum(short)


HEADER = bytes([0, 9, 0, 5])


@pytest.mark.parametrize("length, kind, payload, expected", [
    (4, "int", bytes([0x00, 0x01, 0x86, 0xA0]), 100000),
    (4, "int", b"\xff\xff\xff\xff", 4294967295),
    (0, "int", b"", 0),
    (4, "float", bytes([0x00, 0x00, 0x80, 0x3F]), 1.0),
    (10, "ascii", b"ABC" + bytes(7), "ABC"),
    (10, "ascii", b"PL\x00X310\x00\x00\x00", "PLX310"),
    (3, "hex_string", bytes([4, 3, 2]), "040302"),
    (3, "hex_string", bytes([1, 0x0A, 3]), "010a03"),
])
def test_convert_payload(commands, length, kind, payload, expected):
    frame = HEADER + payload + b"\x99"
    for frame_type in (bytes, bytearray):
        result = commands.convert_payload(length, kind, frame_type(frame))
        assert result == expected and type(result) is type(expected)


def test_convert_payload_float_widening(commands):
    single = struct.pack("<f", 0.002)
    assert commands.convert_payload(4, "float", HEADER + single + b"\0") == struct.unpack("<f", single)[0]


def test_convert_payload_raw(commands):
    frame = bytes(range(13))
    assert commands.convert_payload(8, "raw", frame) == frame[4:]
    assert type(commands.convert_payload(8, "raw", bytearray(frame))) is bytearray
    assert commands.convert_payload(8, "raw", b"\x01\x02\x03") == b""


@pytest.mark.parametrize("length, kind, frame, message", [
    (10, "int", bytes(8), "Payload too short: expected 14 bytes, got 8"),
    (3, "float", bytes(8), "Float conversion requires 4 bytes, got 3"),
    (4, "NA", bytes(9), "Unknown payload type: NA"),
    (4, 7, bytes(9), "Unknown payload type: 7"),
    (4, "INT", bytes(9), "Unknown payload type: INT"),
])
def test_convert_payload_errors(commands, records, length, kind, frame, message):
    with pytest.raises(vexlo.VexloProtocolError) as info:
        commands.convert_payload(length, kind, frame)
    assert str(info.value) == message and info.value.__cause__ is None
    assert records() == []


def test_convert_payload_wraps_decoding_errors(commands, records):
    with pytest.raises(vexlo.VexloProtocolError) as info:
        commands.convert_payload(10, "ascii", HEADER + b"\xc3" + bytes(9) + b"\0")
    cause = info.value.__cause__
    assert isinstance(cause, UnicodeDecodeError)
    assert str(info.value) == "Failed to convert payload: " + str(cause)
    assert records() == [("ERROR", "Payload conversion failed: " + str(cause))]


@pytest.mark.parametrize("length, error", [("4", TypeError), (2 ** 31, OverflowError), (4.0, TypeError)])
def test_convert_payload_length_must_be_int(commands, length, error):
    with pytest.raises(error):
        commands.convert_payload(length, "int", bytes(9))


@given(st.integers(-2 ** 31, 2 ** 31 - 1), st.sampled_from(["raw", "hex_string", "ascii", "int", "float", "NA"]),
       st.binary(max_size=40))
def test_convert_payload_never_fails_undocumented(length, kind, frame):
    commands = vexlo._CommandOperations()
    try:
        result = commands.convert_payload(length, kind, frame)
    except vexlo.VexloProtocolError:
        return
    payload = frame[4:length + 4]
    expected = {
        "raw": frame[4:],
        "hex_string": payload.hex(),
        "int": int.from_bytes(payload, "big"),
        "float": struct.unpack("<f", payload)[0] if len(payload) == 4 else None,
    }
    if kind == "ascii":
        assert result == payload.decode("ascii").replace("\0", "")
    elif kind == "float" and result != result:
        assert expected["float"] != expected["float"]
    else:
        assert result == expected[kind]


def test_interrupt_while_building_a_frame_is_not_wrapped(commands, records):
    def arguments():
        yield 1
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        commands.get_command_byte_array(commands.Get_Ndr_Command, arguments())
    assert records() == []
