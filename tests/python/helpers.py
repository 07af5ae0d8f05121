"""Timing and subprocess helpers for the quellgate tests.

Windows are aligned to the Unix epoch and counted on the wall clock, so a
test that needs several calls to land in one window either starts right after
a whole second or checks afterwards that no window boundary was crossed, and
runs the sequence again on a fresh limiter if one was.
"""

import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

ON_LINUX = sys.platform.startswith("linux")


def linux_only(reason):
    """A test of what only Linux has (fork, /proc, /dev/shm, POSIX signals
    beyond SIGINT, futex figures): skipped elsewhere, saying what it needs."""
    return pytest.mark.skipif(not ON_LINUX, reason="Linux only: " + reason)


def linux_only_module(reason):
    """The same for a whole file, called at its top: also for files that
    cannot even be imported elsewhere (signal.SIGKILL, os.geteuid)."""
    if not ON_LINUX:
        pytest.skip("Linux only: " + reason, allow_module_level=True)


def _builds_shared_memory():
    try:
        import quellgate

        quellgate.remove_shared("qgprobe.%d" % os.getpid())
    except NotImplementedError:
        return False
    except OSError:  # no such name: the build has shared memory
        pass
    return True


needs_shared_memory = pytest.mark.skipif(
    not _builds_shared_memory(), reason="this build has no shared memory for its OS (remove_shared raises NotImplementedError)"
)

CONSTRUCTOR_SIGNATURE = (
    "(sec=None, min=None, hour=None, day=None, sec_window=None, min_window=None,"
    " hour_window=None, day_window=None, blocking=True, max_burst=None)"
)


def sleep_until_fresh_second(margin=0.01):
    """Sleep until time.time() is just past a whole second; return that second."""
    now = time.time()
    time.sleep(int(now) + 1 - now + margin)
    return int(time.time())


def window_indices(lengths):
    now = int(time.time())
    return tuple(now // length for length in lengths)


def in_one_window(body, lengths=(1,), attempts=6):
    """Run body() until one run starts and ends inside the same windows.

    body builds its own limiter and returns what it observed; the caller
    asserts on the result afterwards, so a run spoilt by a rollover is
    simply discarded.
    """
    for _ in range(attempts):
        if 1 in lengths:
            sleep_until_fresh_second()
        before = window_indices(lengths)
        result = body()
        if window_indices(lengths) == before:
            return result
    pytest.fail("no run of %d fitted inside one window of %r seconds" % (attempts, lengths))


def expected_rollover(length, at):
    """Epoch seconds at which the window of the given length holding `at` ends."""
    return (int(at) // length + 1) * length


def run_child(script, timeout=60, **options):
    """Run a Python snippet in a fresh interpreter; return its JSON report.

    The snippet prints exactly one JSON document on its last stdout line.
    `options` go to subprocess.run.
    """
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        timeout=timeout,
        env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"),
        **options,
    )
    stdout = completed.stdout.decode("utf-8", "replace")
    stderr = completed.stderr.decode("utf-8", "replace")
    assert completed.returncode == 0, "child failed (%d):\n%s\n%s" % (completed.returncode, stdout, stderr)
    lines = stdout.strip().splitlines()
    assert lines, "child printed nothing; stderr:\n" + stderr
    return json.loads(lines[-1])


def blocking_mode_of(make_limiter, release_after=1.0):
    """Tell a blocking limiter from a non-blocking one without a window wait.

    make_limiter(max_burst=1) must give a limiter whose windows never refuse.
    Its only burst permit is taken, a second acquire() is made, and another
    thread gives the permit back after release_after seconds: a blocking
    limiter admits once it is back, a non-blocking one refuses at once.
    """
    limiter = make_limiter(max_burst=1)
    assert limiter.acquire() is True
    releaser = threading.Timer(release_after, limiter.release)
    releaser.start()
    try:
        admitted = limiter.acquire()
    finally:
        releaser.join()
    return "blocking" if admitted else "non-blocking"
