"""The clock the commands read and the pause they wait with.

Looked up at the moment of use (``_clock.sleep(...)``), so that tests can
put a virtual clock in place.
"""

from __future__ import annotations

import time
from typing import Callable

clock: Callable[[], float] = time.monotonic
sleep: Callable[[float], None] = time.sleep
