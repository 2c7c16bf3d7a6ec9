"""Test doubles for the TEDS tests: TEDS images built independently of the
parser, an instrument that answers the TEDS commands at the sequence level,
and interface/device objects wired to it."""

import struct

import vexlo_device_communication as vexlo

# Start bit, length and kind of the decoded fields in the data stream.
FIELDS = {
    "serial_number": (40, 24, "uint"),
    "engineering_unit": (74, 6, "uint"),
    "min_capacity": (80, 32, "single"),
    "max_capacity": (112, 32, "single"),
    "min_electrical": (146, 32, "single"),
    "max_electrical": (178, 32, "single"),
    "reverse_flag": (568, 8, "uint"),
    "reverse_max_electrical": (576, 32, "single"),
}


def single_bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


def make_image(checksum_fill=0xA5, **values):
    """A 512-byte TEDS image holding `values` (electrical values in V/V), the
    page checksum bytes set to `checksum_fill`."""
    bits = [0] * (496 * 8)
    for name, value in values.items():
        start, length, kind = FIELDS[name]
        pattern = single_bits(value) if kind == "single" else value
        for i in range(length):
            bits[start + i] = (pattern >> i) & 1
    data = [sum(bits[8 * n + i] << i for i in range(8)) for n in range(496)]
    image = bytearray()
    for page in range(16):
        image.append(checksum_fill)
        image.extend(data[31 * page:31 * page + 31])
    return bytes(image)


def reference_decode(image):
    """The fields of an image, decoded with integer arithmetic over the whole
    stream (a second implementation to compare the parser with)."""
    data = bytes(b for i, b in enumerate(image) if i % 32)
    stream = int.from_bytes(data, "little")

    def field(start, length):
        return (stream >> start) & ((1 << length) - 1)

    def single(start):
        return struct.unpack("<f", struct.pack("<I", field(start, 32)))[0]

    return {
        "serial_number": str(field(40, 24)),
        "engineering_unit": field(74, 6),
        "min_capacity": single(80),
        "max_capacity": single(112),
        "min_electrical": single(146) * 1000.0,
        "max_electrical": single(178) * 1000.0,
        "reverse_scaling_enabled": field(568, 8) == 0x55,
        "reverse_max_electrical": single(576) * 1000.0,
    }


_COMMANDS = vexlo._CommandOperations()
COMMAND_NAMES = {
    (getattr(_COMMANDS, name).command_high_byte, getattr(_COMMANDS, name).command_low_byte): name
    for name in (
        "TEDS_Is_Connected_Command",
        "Get_TEDS_Laser_Command",
        "Get_TEDS_Data_Command",
        "Get_Auto_TEDS_Command",
        "Get_Auto_TEDS_V1_Command",
        "Set_Auto_TEDS_Command",
        "Set_Auto_TEDS_V1_Command",
    )
}


class TedsInstrument:
    """Answers the TEDS commands the way the instrument's frames would carry
    them: the response frame is built, checksummed, validated and converted
    with the interface's own command operations."""

    def __init__(self, image=None, laser=bytes([0x21, 1, 2, 3, 4, 5, 6, 7]), connected=True):
        self.image = bytearray(image if image is not None else make_image())
        self.laser = bytes(laser)
        self.connected = connected
        self.auto = {"Auto_TEDS": 0, "Auto_TEDS_V1": 0}
        self.calls = []  # (command name, argument bytes, link timeout during the call)
        self.fault = None  # callable(name, arguments) that may raise

    def install(self, ci, wrap=None):
        query, setting = self.query, self.setting
        if wrap is not None:
            query, setting = wrap(query), wrap(setting)
        ci.send_convert_return_sequence = lambda command, arguments: query(ci, command, arguments)
        ci.send_sequence = lambda command, arguments: setting(ci, command, arguments)
        return ci

    def _record(self, ci, command, arguments):
        name = COMMAND_NAMES[(command.command_high_byte, command.command_low_byte)]
        self.calls.append((name, bytes(arguments), ci.timeout))
        if self.fault is not None:
            self.fault(name, bytes(arguments))
        return name

    def payload(self, name, arguments):
        if name == "TEDS_Is_Connected_Command":
            return bytes([1 if self.connected else 0])
        if name == "Get_TEDS_Laser_Command":
            return self.laser
        if name == "Get_TEDS_Data_Command":
            page = arguments[0]
            return bytes(self.image[32 * page:32 * page + 32])
        return bytes([self.auto[name[4:-8]]])

    def query(self, ci, command, arguments):
        name = self._record(ci, command, arguments)
        payload = self.payload(name, bytes(arguments))
        frame = bytearray([0, command.receive_length, command.command_high_byte,
                           command.command_low_byte]) + payload
        frame.append(ci.commands.calculate_checksum(frame))
        ci.commands.validate_response_checksum(frame)
        return ci.commands.convert_payload(command.payload_length, command.payload_type, frame)

    def setting(self, ci, command, arguments):
        name = self._record(ci, command, arguments)
        self.auto[name[4:-8]] = arguments[0]

    def names(self):
        return [call[0] for call in self.calls]


def make_interface(model="PLX310", item="QMT31872", instrument=None, wrap=None):
    """A _SerialCommunicationInterface with the cached identity of a connected
    link, whose two sequences are answered by `instrument`."""
    cls = vexlo._SerialCommunicationInterface
    ci = cls.__new__(cls)
    ci.comport = "sim"
    ci.timeout = 1
    ci.serial_connection = None
    ci.commands = vexlo._CommandOperations()
    ci._cached_model_number = model
    ci._cached_item_number = item
    if instrument is not None:
        instrument.install(ci, wrap)
    return ci


class FakeDevice(vexlo.VexloDevice):
    """A VexloDevice with the TEDS state of a new device, built without the
    constructor; the few plain device operations the TEDS methods use are
    forwarded to the interface."""

    def get_model_number(self):
        return self.communication_interface.get_model_number()

    def get_device_channel_selected_profile(self, channel_number=0):
        return self.communication_interface.get_device_channel_selected_profile(channel_number)

    def get_sampling_rate(self, channel_number=0):
        profile = self.get_device_channel_selected_profile(channel_number)
        return self.communication_interface.get_sampling_rate(profile)

    def set_sampling_rate_value(self, samples_per_second, channel_number=0):
        profile = self.get_device_channel_selected_profile(channel_number)
        self.communication_interface.set_sampling_rate(profile, samples_per_second)


def make_device(ci, converter=None):
    device = FakeDevice.__new__(FakeDevice)
    device.communication_interface = ci
    for name in ("_teds_data", "_model_number", "_item_number", "_firmware_version",
                 "_cached_sampling_rate_for_teds"):
        setattr(device, name, None)
    device.adc_converter = converter
    return device
