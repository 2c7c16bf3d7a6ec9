"""A status line rewritten in place on a terminal."""

from __future__ import annotations

import sys
from typing import IO, Optional


class StatusLine:
    """Shows progress on one line of ``stream`` (standard error), only when it is a terminal."""

    def __init__(self, stream: Optional[IO[str]] = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.live = self.stream.isatty()
        self._shown = False

    def show(self, text: str) -> None:
        if self.live:
            self.stream.write("\r" + text.ljust(78))
            self.stream.flush()
            self._shown = True

    def end(self) -> None:
        """Leave the line, so that what follows starts on a new one."""
        if self._shown:
            self.stream.write("\n")
            self.stream.flush()
            self._shown = False
