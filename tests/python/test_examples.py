"""The examples, run as a user runs them (`python3 examples/NAME.py`, here from
another directory), finish in time and show by their own tally of admission
times per epoch-aligned window that the limits held."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from stress_helpers import LEAKS_UNCHECKED_AT_EXIT

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
NAMES = ["quickstart", "threaded_downloader", "async_client", "decorators"]
TALLY = re.compile(r"admissions per epoch (second|minute): ([\d ]+) \(limit (\d+)\)")


@pytest.fixture(scope="module")
def outputs(tmp_path_factory):
    """Runs every example at once (they mostly wait) and collects what each
    printed; a test then fails on its own example's exit status."""
    cwd = tmp_path_factory.mktemp("examples-cwd")
    running = {
        name: subprocess.Popen(
            [sys.executable, str(EXAMPLES / ("%s.py" % name))],
            cwd=str(cwd),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            # The examples end as users' programs do, some while a worker is
            # still finishing a delivery.
            env=dict(os.environ, **LEAKS_UNCHECKED_AT_EXIT),
        )
        for name in NAMES
    }
    finished = {}
    for name, process in running.items():
        try:
            stdout, stderr = process.communicate(timeout=90)
        except subprocess.TimeoutExpired:
            process.kill()
            stdout, stderr = process.communicate()
            stderr += "\n(killed after 90 s)"
        finished[name] = (process.returncode, stdout, stderr)
    return finished


def output_of(outputs, name):
    returncode, stdout, stderr = outputs[name]
    assert returncode == 0, "%s exited with %s\n%s\n%s" % (name, returncode, stdout, stderr)
    return stdout


def tallies(text):
    """(period, counts per window, limit) for every tally line, in order."""
    return [
        (period, [int(count) for count in counts.split()], int(limit))
        for period, counts, limit in TALLY.findall(text)
    ]


def assert_limit_held(tally, total, min_windows):
    period, counts, limit = tally
    assert sum(counts) == total, tally
    assert max(counts) <= limit, "%s window over its limit: %r" % (period, tally)
    assert len(counts) >= min_windows, "admissions were not spread over windows: %r" % (tally,)


@pytest.mark.parametrize("name", ["threaded_downloader", "async_client"])
def test_downloaders_keep_ten_per_second_and_fetch_every_page(outputs, name):
    text = output_of(outputs, name)
    assert "25 of 25 responses were 200 OK" in text
    per_second, per_minute = tallies(text)
    # 25 requests at 10 per second need at least three epoch seconds.
    assert_limit_held(per_second, total=25, min_windows=3)
    assert_limit_held(per_minute, total=25, min_windows=1)
    assert per_second[2] == 10 and per_minute[2] == 500


def test_decorators_hold_the_limit_for_threads_and_tasks_and_refuse_when_non_blocking(outputs):
    text = output_of(outputs, "decorators")
    sync_tally, async_tally = tallies(text)
    for tally in (sync_tally, async_tally):
        # 7 calls at 3 per second need at least three epoch seconds.
        assert_limit_held(tally, total=7, min_windows=3)
    assert "non-blocking sync: pong; second call refused: Failed to acquire permit" in text
    assert "non-blocking async: apong; second call refused: Rate limit exceeded" in text
    # keyword arguments reach the decorated coroutine in the caller's order
    assert "0: colour=red, size=L, kind=shirt" in text
    assert "WORD0" in text and "word1" in text


def test_quickstart_runs_both_tours(outputs):
    text = output_of(outputs, "quickstart")
    assert "10 decorated calls at 5/s took" in text
    assert re.search(r"async remaining: \{.*'burst': 1.*\}", text)
    assert "async non-blocking:" in text
