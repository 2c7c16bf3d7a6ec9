"""vexlo plot: draw a recording, value against time per instrument.

Draw the values of each instrument of a recording (.h5 or .csv) against time, with the unit on the
axis, the title from the file's metadata (with the overrun, missing and corrupted counts), and gaps
in the samples' times (samples lost on the host) shaded. Long
recordings are reduced to the minimum and maximum of each pixel column, so an hour at 38400
samples/s draws in a few seconds. With -o the picture is written (.png, .svg, .pdf); without, it
opens in a window where there is a display. A part of a run recorded in parts (vexlo record
--split) is drawn with the parts after it, as one. Needs the plot extra (matplotlib).
"""

from __future__ import annotations

import argparse

from . import _console


def options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", help="a recording written by vexlo record (.h5 or .csv)")
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="write the picture to OUT; its suffix chooses the format (.png, .svg, .pdf)")


def run(args: argparse.Namespace) -> int:
    from .. import plot

    try:
        plot.plot_file(args.file, args.output)
    except (ValueError, RuntimeError) as error:
        raise _console.CliError(str(error)) from error
    if args.output:
        _console.out(f"wrote {args.output}")
    return 0
