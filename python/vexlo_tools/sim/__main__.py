"""Run simulated instruments on pseudo-terminals: ``python -m vexlo_tools.sim``.

Prints one line per instrument (port path, model, item number, serial
number) and serves until Ctrl-C or SIGTERM. The options are those of
``vexlo sim`` (:mod:`vexlo_tools.sim.serve` holds the parser and the loop
for both); ``--help`` lists them.
"""

import sys

from .serve import main

if __name__ == "__main__":
    sys.exit(main())
