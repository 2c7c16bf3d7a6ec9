"""The subcommands of the ``vexlo`` command-line tool (see :mod:`vexlo_tools.cli`).

A command is a module with ``run(args)``, which returns the exit status and
raises :class:`~._common.CliError` for an expected failure (printed as one
line), and, when it takes options, ``options(parser)``. Its docstring is its
help: the first line reads ``vexlo NAME: what it does.``, the paragraphs
after it are the description ``vexlo NAME --help`` shows. The tool lists
its commands as rows of :class:`Command`.

Ctrl-C, in every command: a command that runs until Ctrl-C (``stream``,
``record`` or ``publish`` without ``--seconds``, ``read --count 0``, ``sim``,
``monitor``, ``collect``) ends normally on it, with status 0. A command that would have ended by
itself lets the ``KeyboardInterrupt`` through once its output is complete
(files closed, streaming switched off); the tool then prints
"vexlo: interrupted" and exits with status 130.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from types import ModuleType
from typing import List


@dataclass(frozen=True)
class Command:
    """One row of the command table.

    :ivar module: the command's module.
    :ivar sim_ports: whether ``--sim`` puts simulated ports in place of the
        serial ports while the command runs (commands that serve or build
        their own simulated instruments say no).
    """

    module: ModuleType
    sim_ports: bool = True

    @property
    def name(self) -> str:
        return self.module.__name__.rsplit(".", 1)[-1]

    def add_to(self, subparsers: argparse._SubParsersAction[argparse.ArgumentParser],
               parents: List[argparse.ArgumentParser]) -> None:
        """Add the command's parser, with its options and the function that runs it."""
        summary, _, description = (self.module.__doc__ or "").strip().partition("\n")
        short = summary.partition(": ")[2].rstrip(".")
        parser = subparsers.add_parser(self.name, parents=parents, help=short,
                                       description=" ".join(description.split()) or short)
        options = getattr(self.module, "options", None)
        if options is not None:
            options(parser)
        parser.set_defaults(run=self.module.run, uses_sim_ports=self.sim_ports)
