"""Repeated exchanges, successful and failing, must not grow memory."""

import contextlib
import struct

import vexlo_device_communication as vexlo
from reliability import assert_flat, quiet
from vexlo_tools.sim import SimulatedInstrument, simulated_ports

PORT = "/dev/ttySIM0"


def test_exchanges_and_failures_do_not_leak():
    instrument = SimulatedInstrument.mvr420()
    failures = (vexlo.VexloDeviceError, ValueError, TypeError, OverflowError, AttributeError, struct.error)

    def work(i):
        ci.get_ndr(0)
        if i % 8 == 0:
            faults = (lambda: instrument.go_silent(requests=1), lambda: instrument.answer_short(3),
                      instrument.corrupt_checksums, instrument.unplug)
            faults[(i // 8) % 4]()
            with contextlib.suppress(*failures):
                ci.get_model_number()
            instrument.clear_faults()
            instrument.plug_in()
            for bad in (lambda: ci.get_ndr(256), lambda: ci.set_adc_of_loading_point(0, 0, -1),
                        lambda: ci.set_load_of_loading_point(0, 0, "x"),
                        lambda: ci.set_sampling_rate(0, 15)):
                with contextlib.suppress(*failures):
                    bad()
            ci.set_load_of_loading_point(0, 1, 1000.0)
            assert ci.get_firmware_version_with_patch() == "04.03.02"
            ci.read_buffer_data()
            other = vexlo._SerialCommunicationInterface(PORT, 320000)
            other.connect()
            other.disconnect()
            with contextlib.suppress(vexlo.VexloConnectionError):
                vexlo._SerialCommunicationInterface("/dev/none").connect()

    with quiet(), simulated_ports({PORT: instrument}):
        ci = vexlo._SerialCommunicationInterface(PORT, 320000)
        ci.connect()
        assert_flat(work, iterations=20000)


def test_calibration_loading_does_not_leak():
    instrument = SimulatedInstrument.mvr420()

    def work(i):
        assert link.load_adc_converter(i % 8).number_of_loading_points == 2
        if i % 4 == 0:
            instrument.corrupt_checksums(answers=1)
            with contextlib.suppress(vexlo.VexloCalibrationError):
                link.load_adc_converter(0)

    with quiet(), simulated_ports({PORT: instrument}):
        link = vexlo._SerialCommunicationInterface(PORT, 320000)
        link.connect()
        assert_flat(work, iterations=3000)
