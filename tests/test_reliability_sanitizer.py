"""Checks of the sanitizer run itself (make asan): the extension under test is
the instrumented build, and a sanitizer report ends the process, so that a
passing run means that no report was made."""

import os
import subprocess
import sys

import pytest

import vexlo_device_communication as vexlo

pytestmark = pytest.mark.skipif("libasan" not in os.environ.get("LD_PRELOAD", ""),
                                reason="only in the sanitizer run (make asan)")


def test_the_extension_is_the_instrumented_build():
    with open(vexlo.__file__, "rb") as library:
        content = library.read()
    assert b"__asan_report_" in content and b"__ubsan_handle_" in content


def test_a_sanitizer_report_ends_the_process():
    use_after_free = (
        "import ctypes\n"
        "libc = ctypes.CDLL(None)\n"
        "libc.malloc.restype = ctypes.c_void_p\n"
        "libc.free.argtypes = [ctypes.c_void_p]\n"
        "block = libc.malloc(16)\n"
        "libc.free(block)\n"
        "ctypes.memmove(ctypes.create_string_buffer(16), block, 16)\n"
        "print('not stopped')\n")
    run = subprocess.run([sys.executable, "-c", use_after_free], capture_output=True, env=os.environ,
                         timeout=60)
    assert run.returncode != 0
    assert b"AddressSanitizer: heap-use-after-free" in run.stderr
    assert b"not stopped" not in run.stdout
