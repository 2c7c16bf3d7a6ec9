"""TEDS image parsing: the extension against a pure-Python parser that works
bit by bit, in the same process. Prints a table of times and ratios.

    PYTHONPATH=build/dev:python python bench/teds.py
"""
import struct
import timeit

import vexlo_device_communication as vexlo

IMAGE = bytes((i * 37 + 11) % 256 for i in range(512))


def python_parse(raw, template):
    bits = []
    for index, byte in enumerate(raw):
        if index % 32:
            bits.extend(bool(byte >> i & 1) for i in range(8))

    def field(start, length):
        return sum(1 << i for i in range(length) if start + i < len(bits) and bits[start + i])

    def single(start):
        return struct.unpack("<f", struct.pack("<I", field(start, 32)))[0]

    return {
        "template": template,
        "serial_number": str(field(40, 24)),
        "engineering_unit": field(74, 6),
        "min_capacity": single(80),
        "max_capacity": single(112),
        "min_electrical": single(146) * 1000.0,
        "max_electrical": single(178) * 1000.0,
        "reverse_scaling_enabled": field(568, 8) == 0x55,
        "reverse_max_electrical": single(576) * 1000.0,
    }


def best(statement, number):
    return min(timeit.repeat(statement, number=number, repeat=5)) / number


def main():
    parsed = vexlo.TEDSData.parse_from_bytes(IMAGE, 33)
    reference = python_parse(IMAGE, 33)
    assert all(repr(getattr(parsed, k)) == repr(v) for k, v in reference.items())
    rows = [
        ("parse_from_bytes(bytes)", lambda: vexlo.TEDSData.parse_from_bytes(IMAGE, 33),
         lambda: python_parse(IMAGE, 33)),
        ("bytes_to_bits(skip)", lambda: vexlo.TEDSData.bytes_to_bits(IMAGE, True),
         lambda: [bool(b >> i & 1) for n, b in enumerate(IMAGE) if n % 32 for i in range(8)]),
    ]
    print(f"{'operation':<26}{'extension':>14}{'python':>14}{'ratio':>10}")
    for name, native, baseline in rows:
        t_native = best(native, 2000)
        t_python = best(baseline, 200)
        print(f"{name:<26}{t_native * 1e6:>11.2f} us{t_python * 1e6:>11.2f} us{t_python / t_native:>9.1f}x")


if __name__ == "__main__":
    main()
