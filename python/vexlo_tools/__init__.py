"""Tools around vexlo_device_communication: instrument simulator and command-line tool."""
