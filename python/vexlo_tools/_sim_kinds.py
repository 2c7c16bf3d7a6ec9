"""The simulator's instrument kinds by name.

Kept apart from :mod:`vexlo_tools.sim` so that the command line can offer
them in its help without loading the simulator (and numpy).
"""

#: What ``--instrument MODEL[:OPTIONS]`` accepts as MODEL; each names the
#: :class:`~vexlo_tools.sim.SimulatedInstrument` class method of the same
#: name with ``_`` for ``-``.
INSTRUMENT_KINDS = ("plx310-plus-prime", "plx310", "mvr420", "dta530", "hsk640")
