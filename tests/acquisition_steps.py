"""Acquisition readers in lock-step with a virtual clock, for tests of code that streams."""

import threading
import time

# Taken before any test patches time.sleep.
_real_sleep = time.sleep


class LockStep:
    """The readers read once per step of the virtual clock, before the code under test goes on.

    Install :meth:`pause` as ``vexlo_tools._reading.pause`` and call
    :meth:`wait_for_readers` after each step of the clock: the simulated
    ports then never hold more than one step of stream data, as with a
    reader that keeps up in real time.
    """

    def __init__(self, clock):
        self.clock = clock
        self.polled_at = {}
        self.changed = threading.Condition()
        # Readers started from now on are waited for even before their first poll: on a loaded
        # machine a new reader's thread can wait for a core while the clock would step on without it.
        self.before = set(threading.enumerate())
        self.owner = threading.current_thread()

    def pause(self, stop, seconds):
        me = threading.current_thread()
        with self.changed:
            self.polled_at[me] = self.clock()
            self.changed.notify_all()
            # Short: a stopping acquisition sets `stop` without telling this condition.
            self.changed.wait_for(lambda: stop.is_set() or self.clock() != self.polled_at[me], timeout=0.05)

    def wait_for_readers(self):
        def caught_up():
            now = self.clock()
            starting = [t for t in threading.enumerate()
                        if t.name.startswith("vexlo reader ") and t not in self.before and t not in self.polled_at]
            return not starting and all(at == now for t, at in self.polled_at.items() if t.is_alive())

        with self.changed:
            self.changed.notify_all()
            # In short slices: a reader that ends (its port failed) tells nobody. Up to 20 s in all: on
            # a loaded machine (a sanitizer build beside other suites) a reader's thread can wait seconds
            # for a core, and a step taken without it would overflow the simulated port.
            for _ in range(400):
                if self.changed.wait_for(caught_up, timeout=0.05):
                    return

    def sleep(self, seconds):
        """A ``time.sleep`` that steps the clock and lets the readers catch up.

        Only for the test's own threads (its own and those started since): a thread an earlier test
        left running (a server's retry loop, say) sleeps for real, as a step of its would move the
        clock past what the simulated port holds and lose samples the test then counts.
        """
        me = threading.current_thread()
        if me in self.before and me is not self.owner:
            _real_sleep(seconds)
            return
        self.clock.advance(seconds)
        self.wait_for_readers()
