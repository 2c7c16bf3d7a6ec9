"""Cost of one normal data request (get_ndr) through the link, against a
pure-Python exchange doing the same steps, over the in-process simulated port;
also reports how many memory blocks 100,000 exchanges leave behind.

    PYTHONPATH=build/dev:python python bench/link_exchange.py [count]
"""

import gc
import sys
import time

import vexlo_device_communication as vexlo
from vexlo_tools.sim import SimulatedInstrument, simulated_ports

PORT = "/dev/ttySIM0"


def python_get_ndr(port, channel):
    """The same exchange written in Python: frame, checksum, write, read,
    validate, convert."""
    frame = bytearray([0, 6, 0x00, 0x05, channel])
    frame.append(sum((i + 1) * b for i, b in enumerate(frame)) % 256)
    port.reset_input_buffer()
    port.write(frame)
    response = port.read(size=9)
    if len(response) != 9 or response[-1] != sum((i + 1) * b for i, b in enumerate(response[:-1])) % 256:
        raise RuntimeError("bad response")
    return int.from_bytes(response[4:8], "big")


def timed(call, count):
    start = time.perf_counter()
    for _ in range(count):
        call()
    return (time.perf_counter() - start) / count


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    with simulated_ports({PORT: SimulatedInstrument.mvr420()}):
        ci = vexlo._SerialCommunicationInterface(PORT, 320000)
        ci.connect()
        port = ci.serial_connection
        for _ in range(2000):
            ci.get_ndr(0)
            python_get_ndr(port, 0)
        gc.collect()
        blocks = sys.getallocatedblocks()
        module = timed(lambda: ci.get_ndr(0), count)
        gc.collect()
        grown = sys.getallocatedblocks() - blocks
        baseline = timed(lambda: python_get_ndr(port, 0), count)
        ci.disconnect()
    print(f"{'exchange':<28}{'us/call':>10}{'ratio':>8}")
    print(f"{'python baseline':<28}{baseline * 1e6:>10.2f}{1.0:>8.2f}")
    print(f"{'get_ndr (module)':<28}{module * 1e6:>10.2f}{module / baseline:>8.2f}")
    print(f"allocated blocks after {count} get_ndr calls: {grown:+d}")


if __name__ == "__main__":
    main()
