"""The clock the commands read and the pause they wait with.

Looked up at the moment of use (``_clock.sleep(...)``), so that tests can
put a virtual clock in place.
"""

from __future__ import annotations

import time
from typing import Callable, Optional

clock: Callable[[], float] = time.monotonic
sleep: Callable[[float], None] = time.sleep


def run_pause() -> Optional[Callable[[float], None]]:
    """The ``pause`` for :func:`vexlo_tools.session.run`: none on the real clock (the run
    waits on its own end, not in steps), the virtual clock's sleep where a test put one."""
    return None if sleep is time.sleep else sleep
