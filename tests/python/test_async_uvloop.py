"""The key asyncio tests again, with every event loop a uvloop loop."""

import os
import subprocess
import sys

import pytest

KEY_FILES = ["test_async_immediate.py", "test_async_handoff.py", "test_async_methods.py", "test_async_decorator.py",
             "test_async_cancellation.py", "test_async_concurrency.py"]


def test_key_asyncio_tests_pass_on_uvloop():
    pytest.importorskip("uvloop")
    here = os.path.dirname(os.path.abspath(__file__))
    child = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *KEY_FILES],
        cwd=here,
        env=dict(os.environ, QUELLGATE_TEST_UVLOOP="1"),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        universal_newlines=True,
        timeout=1500,
    )
    assert child.returncode == 0, child.stdout[-6000:]
    assert " passed" in child.stdout
