"""Companion tools for ``vexlo_device_communication``.

``vexlo_tools.sim`` simulates Vexlo instruments, in-process and on
pseudo-terminals, so that code driving the instruments can be developed
and tested without hardware. ``vexlo_tools.cli`` is the ``vexlo`` command:
scan, info, read, stream, teds, sim and demo, each also runnable against
simulated instruments with ``--sim``.
"""
