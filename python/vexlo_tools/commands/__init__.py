"""The subcommands of the ``vexlo`` command-line tool (see :mod:`vexlo_tools.cli`).

A command is a module with ``run(args)``, which returns the exit status and
raises :class:`~._console.CliError` for an expected failure (printed as one
line), and, when it takes options, ``options(parser)``. Its docstring is its
help: the first line reads ``vexlo NAME: what it does.``, the paragraphs
after it are the description ``vexlo NAME --help`` shows. The tool lists
its commands as rows of :class:`Command`, which repeat that first line so
that ``vexlo --help`` need not import the commands: a command's module (and
what it imports, numpy and the extension among them) is loaded only when
its command is chosen.

Ctrl-C, in every command: a command that runs until Ctrl-C (``stream``,
``record`` or ``publish`` without ``--seconds``, ``read --count 0``, ``sim``,
``monitor``, ``collect``) ends normally on it, with status 0. A command that would have ended by
itself lets the ``KeyboardInterrupt`` through once its output is complete
(files closed, streaming switched off); the tool then prints
"vexlo: interrupted" and exits with status 130.
"""

from __future__ import annotations

import argparse
import importlib
from dataclasses import dataclass
from types import ModuleType
from typing import Any, List, Optional, Sequence, Tuple


@dataclass(frozen=True)
class Command:
    """One row of the command table.

    :ivar name: the command's name, also its module's in this package.
    :ivar summary: the one line ``vexlo --help`` shows, as in the module's docstring.
    :ivar sim_ports: whether ``--sim`` puts simulated ports in place of the
        serial ports while the command runs (commands that serve or build
        their own simulated instruments say no).
    """

    name: str
    summary: str
    sim_ports: bool = True

    def module(self) -> ModuleType:
        """The command's module, imported when first asked for."""
        return importlib.import_module(f"{__name__}.{self.name}")

    def add_to(self, subparsers: argparse._SubParsersAction[CommandParser],
               parents: List[CommandParser]) -> None:
        """Add the command's parser; its options are added when it parses."""
        parser = subparsers.add_parser(self.name, parents=parents, help=self.summary, description=self.summary)
        parser.command = self


class CommandParser(argparse.ArgumentParser):
    """A command's parser, which imports the command and adds its options only when it is used."""

    command: Optional[Command] = None

    def parse_known_args(self, args: Optional[Sequence[str]] = None,  # type: ignore[override]
                         namespace: Optional[argparse.Namespace] = None) -> Tuple[argparse.Namespace, List[str]]:
        self.load()
        return super().parse_known_args(args, namespace)

    def load(self) -> None:
        """Import the command, add its options and the function that runs it (once)."""
        command, self.command = self.command, None
        if command is None:
            return
        module = command.module()
        self.description = " ".join((module.__doc__ or "").strip().partition("\n")[2].split()) or command.summary
        options: Any = getattr(module, "options", None)
        if options is not None:
            options(self)
        self.set_defaults(run=module.run, uses_sim_ports=command.sim_ports)
