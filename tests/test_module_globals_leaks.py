"""Operations that reach a module global (the logger on every log call) must
leave nothing behind, however often they run: a name object made per lookup
stays referenced from the interpreter's attribute cache."""


import vexlo_device_communication as vexlo
from reliability import assert_flat


def test_logging_in_a_long_stream_leaves_no_blocks():
    converter = vexlo.ADCConverter()
    data = bytes.fromhex("1234567c") * 8 + b"\x01"  # logs its debug summary on every call
    convert = vexlo.StreamDataConverter.convert_stream_data_to_reading
    # A name object made per lookup would be one block per call: nothing may grow at all.
    assert_flat(lambda _: convert(data, converter), iterations=30_000, slack=10)
