"""Options that pick the instruments a command works on."""

import argparse

MODELS = ("PLX310", "MVR420", "DTA530", "HSK640")


def model_name(text: str) -> str:
    """A model named on the command line, in any case; unknown names are usage errors."""
    name = text.strip().upper()
    if name not in MODELS:
        raise argparse.ArgumentTypeError(f"unknown model {text!r}; choose from {', '.join(MODELS)}")
    return name


def add_model(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--model", action="append", metavar="M", type=model_name,
                        help="probe only at the baud rates of model M (" + ", ".join(MODELS)
                             + "), which shortens discovery; repeatable")


def add(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--port", metavar="P", help="the instrument on port P (default: the first one found)")
    add_model(parser)
