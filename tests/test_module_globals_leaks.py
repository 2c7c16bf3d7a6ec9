"""Operations that reach a module global (the logger on every log call) must
leave nothing behind, however often they run: a name object made per lookup
stays referenced from the interpreter's attribute cache."""

import gc
import sys

import vexlo_device_communication as vexlo


def test_logging_in_a_long_stream_leaves_no_blocks():
    converter = vexlo.ADCConverter()
    data = bytes.fromhex("1234567c") * 8 + b"\x01"  # logs its debug summary on every call
    convert = vexlo.StreamDataConverter.convert_stream_data_to_reading
    for _ in range(1000):
        convert(data, converter)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(30_000):
        convert(data, converter)
    gc.collect()
    grown = sys.getallocatedblocks() - before
    assert grown < 10, "%d blocks left after 30000 conversions" % grown
