"""Pure-Python baselines for the benchmarks, written from the same algorithms
as the module: the command protocol (frame, checksum, validation, payload
conversion), the link's exchange with its retry wrapper and the device's
reading. (The stream and TEDS baselines are in stream.py and teds.py.) They
exist for ``bench/`` only and are not part of the product.

Each mirrors the module's structure: operations look each other up by
attribute, guarded blocks catch and re-raise as the module does, and log calls
are made where the module makes them, so that the comparison is the cost of
the same work written in Python.
"""

import functools
import logging
import struct
import time

import serial

logger = logging.getLogger("vexlo_bench.baseline")

_EMPTY = bytearray()


class ProtocolError(Exception):
    pass


class CommunicationError(Exception):
    pass


class TimeoutError_(CommunicationError):
    pass


class CalibrationError(Exception):
    pass


# --- Protocol ---------------------------------------------------------------------


class Command:
    def __init__(self, command_high_byte, command_low_byte, command_length, arguments_length,
                 payload_length, receive_length, payload_type="NA"):
        self.command_high_byte = command_high_byte
        self.command_low_byte = command_low_byte
        self.command_length = command_length
        self.arguments_length = arguments_length
        self.payload_length = payload_length
        self.payload_type = payload_type
        self.receive_length = receive_length

    def toByteArray(self):  # noqa: N802 (the protocol's own name)
        return bytearray([0, self.command_length, self.command_high_byte, self.command_low_byte])


class CommandOperations:
    """The part of the catalogue the benchmarks use, and the protocol operations."""

    def __init__(self):
        self.ndr_command = Command(0x00, 0x05, 6, 1, 4, 9, "int")

    @property
    def Get_Ndr_Command(self):  # noqa: N802
        return self.ndr_command

    @property
    def Get_Model_Number_Command(self):  # noqa: N802
        return Command(0x01, 0x01, 5, 0, 10, 15, "ascii")

    @property
    def Get_Load_Of_Loading_Point_Command(self):  # noqa: N802
        return Command(0x03, 0x18, 7, 2, 4, 9, "float")

    @property
    def Get_Loading_Point_Value_Command(self):  # noqa: N802
        return Command(0x03, 0x19, 7, 2, 4, 9, "int")

    @property
    def Get_TEDS_Data_Command(self):  # noqa: N802
        return Command(0x01, 0x1E, 6, 1, 32, 37, "raw")

    def get_command_byte_array(self, command, arguments=_EMPTY):
        if not isinstance(command, Command):
            raise ProtocolError("Invalid command type: " + type(command).__name__)
        try:
            frame = command.toByteArray()
            frame.extend(arguments)
            frame.append(self.calculate_checksum(frame))
            return frame
        except ProtocolError:
            raise
        except Exception as e:
            logger.error("Error constructing command: " + str(e))
            raise ProtocolError("Failed to construct command: " + str(e)) from e

    def calculate_checksum(self, byte_array):
        checksum = 0
        weight = 1
        for byte in byte_array:
            checksum = (checksum + byte * weight) & 0xFF
            weight += 1
        return checksum

    def validate_response_checksum(self, response_bytes):
        if len(response_bytes) < 2:
            raise ProtocolError("Response too short for checksum validation")
        received = response_bytes[-1]
        calculated = self.calculate_checksum(response_bytes[:-1])
        if received != calculated:
            logger.error("Checksum mismatch")
            raise ProtocolError("Invalid checksum in response")

    def convert_payload(self, length, return_type, payload_byte_array):
        try:
            if return_type == "raw":
                return payload_byte_array[4:]
            if len(payload_byte_array) < length + 4:
                raise ProtocolError("Payload too short: expected " + str(length + 4) + " bytes, got "
                                    + str(len(payload_byte_array)))
            payload = payload_byte_array[4:length + 4]
            if return_type == "hex_string":
                return payload.hex()
            if return_type == "ascii":
                return payload.decode("ascii").replace("\x00", "")
            if return_type == "int":
                return int.from_bytes(payload, "big")
            if return_type == "float":
                if len(payload) != 4:
                    raise ProtocolError("Float conversion requires 4 bytes, got " + str(len(payload)))
                return struct.unpack("<f", payload)[0]
            raise ProtocolError("Unknown payload type: " + str(return_type))
        except ProtocolError:
            raise
        except Exception as e:
            logger.error("Payload conversion failed: " + str(e))
            raise ProtocolError("Failed to convert payload: " + str(e)) from e


# --- Link and device --------------------------------------------------------------


def retry_on_timeout(max_attempts=3, delay=0.1):
    def decorator(func):
        @functools.wraps(func)
        def wrapper(*args, **kwargs):
            last = None
            for attempt in range(1, max_attempts + 1):
                try:
                    return func(*args, **kwargs)
                except TimeoutError_ as e:
                    last = e
                    if attempt < max_attempts:
                        logger.warning("Attempting Retry")
                        time.sleep(delay)
                    else:
                        logger.error("Retries failed after ")
            raise last
        return wrapper
    return decorator


class SerialCommunicationInterface:
    """The link's exchange and the normal data request, on a port handed over
    already open (the benchmarks share one port between module and baseline)."""

    def __init__(self, serial_connection, timeout=1):
        self.timeout = timeout
        self.serial_connection = serial_connection
        self.commands = CommandOperations()

    def send_command_with_response(self, command_bytes, command_length):
        if not self.serial_connection or not self.serial_connection.is_open:
            logger.error("Attempted to send command on closed connection")
            raise CommunicationError("Serial connection not open")
        try:
            self.serial_connection.reset_input_buffer()
            written = self.serial_connection.write(command_bytes)
            if written != len(command_bytes):
                logger.warning("Incomplete write: sent " + str(written) + "/" + str(len(command_bytes))
                               + " bytes")
            response = self.serial_connection.read(size=command_length)
            if not response:
                logger.error("Timeout waiting for response (expected " + str(command_length) + " bytes)")
                raise TimeoutError_("No response received within " + str(self.timeout) + "s timeout")
            if len(response) < command_length:
                logger.warning("Incomplete response: received " + str(len(response)) + "/"
                               + str(command_length) + " bytes")
                raise CommunicationError("Incomplete response: expected " + str(command_length)
                                         + " bytes, got " + str(len(response)))
            return response
        except serial.SerialTimeoutException as e:
            logger.error("Serial timeout: " + str(e))
            raise TimeoutError_("Command timed out after " + str(self.timeout) + "s") from e
        except CommunicationError:
            raise
        except serial.SerialException as e:
            logger.error("Serial communication error: " + str(e))
            raise CommunicationError("Serial error during command transmission: " + str(e)) from e
        except Exception as e:
            logger.error("Unexpected error during communication: " + str(e))
            raise CommunicationError("Unexpected communication error: " + str(e)) from e

    @retry_on_timeout()
    def send_convert_return_sequence(self, command, arguments=_EMPTY):
        frame = self.commands.get_command_byte_array(command, arguments)
        response = self.send_command_with_response(frame, command.receive_length)
        self.commands.validate_response_checksum(response)
        return self.commands.convert_payload(command.payload_length, command.payload_type, response)

    def get_ndr(self, channel_number=0):
        return self.send_convert_return_sequence(self.commands.Get_Ndr_Command, bytearray([channel_number]))


class Device:
    def __init__(self, communication_interface, adc_converter):
        self.communication_interface = communication_interface
        self.adc_converter = adc_converter

    def get_reading(self, channel_number=0):
        if self.adc_converter is None:
            raise CalibrationError("No ADC converter available")
        raw = self.communication_interface.get_ndr(channel_number)
        return self.adc_converter.convert_adc(raw)


# --- Stand-in ports ---------------------------------------------------------------


class CannedPort:
    """A port whose every read returns one prepared response: the cheapest
    port a Python caller can have, the same for module and baseline."""

    is_open = True
    port = "canned"

    def __init__(self, response):
        self.response = response

    def reset_input_buffer(self):
        pass

    def write(self, data):
        return len(data)

    def read(self, size=1):
        return self.response

    def close(self):
        self.is_open = False


class ReplayPort:
    """A streaming port that hands out a prepared byte stream in chunks of
    irregular size, as a serial driver delivers what has arrived."""

    is_open = True
    port = "replay"

    def __init__(self, stream, chunk_sizes):
        self._stream = memoryview(stream)
        self._sizes = chunk_sizes
        self._turn = 0
        self._position = 0

    @property
    def in_waiting(self):
        return self._sizes[self._turn % len(self._sizes)]

    def read(self, size=1):
        self._turn += 1
        start = self._position
        end = start + size
        if end <= len(self._stream):
            self._position = end
            return bytes(self._stream[start:end])
        self._position = end - len(self._stream)
        return bytes(self._stream[start:]) + bytes(self._stream[:self._position])

    def close(self):
        self.is_open = False
