"""Options that pick the one instrument a command works on."""


def add(parser) -> None:
    parser.add_argument("--port", metavar="P", help="the instrument on port P (default: the first one found)")
    parser.add_argument("--model", action="append", metavar="M",
                        help="probe only at the baud rates of model M (shortens discovery); repeatable")
