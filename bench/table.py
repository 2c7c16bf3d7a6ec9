"""The benchmark table: one line per measurement, printed in columns."""

import collections
import sys

Line = collections.namedtuple("Line", "row label unit module reference ratio target met")


def number(value):
    if value is None:
        return "-"
    if abs(value) >= 100:
        return f"{value:.0f}"
    if abs(value) >= 10:
        return f"{value:.1f}"
    return f"{value:.3g}" if abs(value) < 1 else f"{value:.2f}"


def print_table(lines, out=sys.stdout):
    label_width = max(len(line.label) for line in lines)
    header = (f"{'row':<4}{'measurement':<{label_width + 2}}{'unit':<13}{'module':>10}{'reference':>11}"
              f"{'ratio':>9}  {'target':<10}{'met'}")
    print(header, file=out)
    print("-" * len(header), file=out)
    for line in lines:
        met = "" if line.met is None else ("yes" if line.met else "NO")
        ratio = "-" if line.ratio is None else f"{line.ratio:.2f}x"
        print(f"{line.row:<4}{line.label:<{label_width + 2}}{line.unit:<13}{number(line.module):>10}"
              f"{number(line.reference):>11}{ratio:>9}  {line.target:<10}{met}", file=out)


def print_rows(rows, chosen, args):
    """Run the rows named in ``chosen`` ("9,14") from ``rows`` (number -> function of ``args``), print one table."""
    lines = []
    for row in sorted(int(r) for r in chosen.split(",")):
        lines.extend(rows[row](args))
    print_table(lines)
