"""Show the module's public surface and one worked request frame."""

import vexlo_device_communication as vexlo


def main() -> int:
    public = [name for name in vars(vexlo) if not name.startswith("_")]
    print("vexlo_device_communication public names:")
    for name in public:
        print("  " + name)
    commands = vexlo._CommandOperations()
    command = commands.Get_Ndr_Command
    frame = commands.get_command_byte_array(command, bytearray([0]))
    print()
    print("Normal data request for channel 0:")
    print("  request frame  " + frame.hex(" "))
    print("  checksum       1*%d + 2*%d + 3*%d + 4*%d + 5*%d = %d (mod 256)"
          % (tuple(frame[:-1]) + (frame[-1],)))
    response = bytearray([0x00, 0x09, 0x00, 0x05, 0x00, 0x01, 0x86, 0xA0])
    response.append(commands.calculate_checksum(response))
    commands.validate_response_checksum(response)
    value = commands.convert_payload(command.payload_length, command.payload_type, response)
    print("  response frame " + response.hex(" "))
    print("  raw ADC count  %d" % value)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
