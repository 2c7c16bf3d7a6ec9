from unittest import mock

import pytest

import vexlo_device_communication as vexlo


class Flaky:
    """Fails with the given exceptions in turn, then returns its arguments."""

    def __init__(self, *failures):
        self.failures = list(failures)
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.failures:
            raise self.failures.pop(0)
        return args, kwargs


@pytest.fixture
def sleep():
    with mock.patch("time.sleep") as patched:
        yield patched


def test_success_first_time(sleep, records):
    func = Flaky()
    assert vexlo.retry_on_timeout()(func)(1, b=2) == ((1,), {"b": 2})
    assert len(func.calls) == 1 and sleep.call_count == 0 and records() == []


def test_timeout_then_success(sleep, records):
    func = Flaky(vexlo.VexloTimeoutError("t"))
    assert vexlo.retry_on_timeout(3, 0.25)(func)("x") == (("x",), {})
    assert len(func.calls) == 2
    sleep.assert_called_once_with(0.25)
    assert records() == [("WARNING", "Attempting Retry")]


def test_all_attempts_time_out(sleep, records):
    errors = [vexlo.VexloTimeoutError("first"), vexlo.VexloTimeoutError("second"),
              vexlo.VexloTimeoutError("third")]
    func = Flaky(*errors)
    with pytest.raises(vexlo.VexloTimeoutError) as info:
        vexlo.retry_on_timeout()(func)()
    assert info.value is errors[2]
    assert sleep.call_args_list == [mock.call(0.1), mock.call(0.1)]
    assert records() == [("WARNING", "Attempting Retry"), ("WARNING", "Attempting Retry"),
                         ("ERROR", "Retries failed after ")]


def test_subclass_of_timeout_is_retried(sleep):
    class Slow(vexlo.VexloTimeoutError):
        pass

    func = Flaky(Slow("s"))
    vexlo.retry_on_timeout()(func)()
    assert len(func.calls) == 2


@pytest.mark.parametrize("error", [vexlo.VexloCommunicationError("short"), vexlo.VexloProtocolError("bad"),
                                   ValueError("v"), TimeoutError("builtin")])
def test_other_errors_are_not_retried(sleep, records, error):
    func = Flaky(error)
    with pytest.raises(type(error)) as info:
        vexlo.retry_on_timeout()(func)()
    assert info.value is error and len(func.calls) == 1
    assert sleep.call_count == 0 and records() == []


def test_single_attempt(sleep, records):
    func = Flaky(vexlo.VexloTimeoutError("t"))
    with pytest.raises(vexlo.VexloTimeoutError):
        vexlo.retry_on_timeout(max_attempts=1)(func)()
    assert sleep.call_count == 0 and records() == [("ERROR", "Retries failed after ")]


@pytest.mark.parametrize("attempts", [0, -3])
def test_max_attempts_below_one(attempts):
    with pytest.raises(ValueError, match="^max_attempts must be at least 1$"):
        vexlo.retry_on_timeout(attempts)


def test_module_time_is_looked_up_when_it_runs():
    fake_time = mock.Mock()
    with mock.patch("vexlo_device_communication.time", fake_time):
        vexlo.retry_on_timeout(2, 7)(Flaky(vexlo.VexloTimeoutError("t")))()
    fake_time.sleep.assert_called_once_with(7)


def test_wrapper_keeps_metadata_and_binds_as_method(sleep):
    class Link:
        @vexlo.retry_on_timeout()
        def send_sequence(self, command, arguments=b""):
            """Send it."""
            return self, command, arguments

    link = Link()
    assert Link.send_sequence.__name__ == "send_sequence"
    assert Link.send_sequence.__qualname__.endswith("Link.send_sequence")
    assert Link.send_sequence.__doc__ == "Send it."
    assert Link.send_sequence.__module__ == __name__
    assert link.send_sequence("cmd") == (link, "cmd", b"")
    assert link.send_sequence.__self__ is link
