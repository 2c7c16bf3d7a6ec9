"""The options that say where the broker is and how to log in, shared by ``publish`` and ``collect``."""

from __future__ import annotations

import argparse
import contextlib
import sys
from typing import TYPE_CHECKING, Iterator

from .._options import PASSWORD_VARIABLE
from . import _console

if TYPE_CHECKING:
    from ..mqtt.broker import Broker


def add(parser: argparse.ArgumentParser, required: bool = True, what: str = "") -> None:
    parser.add_argument("--broker", required=required, metavar="URL",
                        help=what + "the broker: mqtt://HOST[:PORT] (port 1883), mqtts://HOST[:PORT] for TLS (port 8883)")
    parser.add_argument("--username", metavar="NAME", help="log in as NAME")
    parser.add_argument("--password", metavar="WORD",
                        help=f"the password (default: the variable {PASSWORD_VARIABLE}, which keeps it out of ps)")
    parser.add_argument("--ca-file", metavar="PEM", help="trust the certificate authorities in PEM (implies TLS)")
    parser.add_argument("--cert-file", metavar="PEM", help="present this client certificate (implies TLS)")
    parser.add_argument("--key-file", metavar="PEM", help="the client certificate's key, if not in --cert-file")


def broker(args: argparse.Namespace) -> Broker:
    """The broker the options name.

    :raises CliError: a malformed URL.
    """
    from ..mqtt.broker import Broker

    try:
        return Broker.from_url(args.broker, username=args.username, password=args.password, ca_file=args.ca_file,
                               cert_file=args.cert_file, key_file=args.key_file)
    except ValueError as error:
        raise _console.CliError(str(error)) from error


@contextlib.contextmanager
def reporting() -> Iterator[None]:
    """Show the fleet's records (connection lost and back, files opened, gaps) on standard error."""
    import logging  # where it is used: help loads none of it

    from ..mqtt.broker import logger

    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("vexlo: %(message)s"))
    level, propagate = logger.level, logger.propagate
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    logger.propagate = False
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)
        logger.propagate = propagate
