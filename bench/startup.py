"""Start-up of the ``vexlo`` command against the interpreter's own start-up:
``vexlo --help``, ``vexlo --version`` and every ``vexlo COMMAND --help`` (as
the console script runs them) against ``python -c pass``, each a fresh
process, in alternation.

    PYTHONPATH=build/dev:python python bench/startup.py
"""

import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from table import Line  # noqa: E402

# What the installed console script does.
SCRIPT = "import sys; from vexlo_tools.cli import main; sys.exit(main({argv!r}))"
TARGET = 5.0  # times python -c pass


def wall(argv):
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def rows(repeats):
    floor_argv = [sys.executable, "-c", "pass"]
    from vexlo_tools.cli import COMMANDS
    cases = [("vexlo --help", [sys.executable, "-c", SCRIPT.format(argv=["--help"])]),
             ("vexlo --version", [sys.executable, "-c", SCRIPT.format(argv=["--version"])])]
    cases += [(f"vexlo {c.name} --help", [sys.executable, "-c", SCRIPT.format(argv=[c.name, "--help"])])
              for c in COMMANDS]
    for _, argv in cases:  # warm the caches of byte code and files
        wall(argv)
    times = {name: [] for name, _ in cases}
    floors = []
    for _ in range(repeats):
        floors.append(wall(floor_argv))
        for name, argv in cases:
            times[name].append(wall(argv))
    floor = statistics.median(floors)
    lines = []
    for name, _ in cases:
        command = statistics.median(times[name])
        lines.append(Line(61, f"start-up, {name} vs python -c pass", "ms", command * 1e3, floor * 1e3,
                          floor / command, f"{TARGET:g}x floor", command <= TARGET * floor))
    return lines


if __name__ == "__main__":
    from table import print_table

    print_table(rows(int(sys.argv[1]) if len(sys.argv) > 1 else 21))
