"""The subcommands of the ``vexlo`` command-line tool (see :mod:`vexlo_tools.cli`).

Each module offers ``add_parser(subparsers, parents)`` and ``run(args)``;
``run`` returns the exit status and raises :class:`~._common.CliError` for
an expected failure, which the tool prints as one line.
"""
