"""Shared windows when processes read the clock differently."""

import os
import shutil
import subprocess
import sys
import time

import pytest

import quellgate

WINDOW = 10  # seconds: room for a child interpreter to start within one window
CHILD = "import sys, quellgate; l = quellgate.RateLimiter.shared(sys.argv[1], sec=5, sec_window=%d, blocking=False); " \
        "print(sum(l.acquire() for _ in range(5)))" % WINDOW


@pytest.mark.skipif(shutil.which("faketime") is None, reason="needs libfaketime's faketime")
def test_a_process_whose_clock_runs_behind_never_clears_the_current_window():
    name = "qgtest-clock.%d" % os.getpid()
    limiter = quellgate.RateLimiter.shared(name, sec=5, sec_window=WINDOW, blocking=False)
    try:
        while time.time() % WINDOW > 4:  # start early in a window, to finish in it
            time.sleep(0.1)
        start = time.time() // WINDOW
        assert sum(limiter.acquire() for _ in range(5)) == 5
        behind = subprocess.run(["faketime", "-f", "-%ds" % (3 * WINDOW), sys.executable, "-c", CHILD, name],
                                capture_output=True, text=True, check=True, timeout=60)
        admitted_after = sum(limiter.acquire() for _ in range(5))
        if time.time() // WINDOW != start:
            pytest.skip("the window rolled over while the child ran")
        assert (behind.stdout.split(), admitted_after) == (["0"], 0), "the old reading cleared the window"
    finally:
        quellgate.remove_shared(name)
