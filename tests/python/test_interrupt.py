"""Ctrl+C during waits, each in a child interpreter that sends itself SIGINT."""

import sys

import pytest

from helpers import run_child

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="sends SIGINT with os.kill")

INTERRUPTED = {"type": "KeyboardInterrupt", "args": ["Operation interrupted"]}

CHILD_PRELUDE = """
import json, os, signal, threading, time
import quellgate

HUGE = 2**63

def keep_clear_of_hour_rollover():
    # An exhausted hour window must stay exhausted for the whole child.
    left = 3600 - time.time() % 3600
    if left < 30:
        time.sleep(left + 0.1)

def later(delay, action):
    done = []
    def run():
        time.sleep(delay)
        done.append(time.monotonic())
        action()
    threading.Thread(target=run, daemon=True).start()
    return done

def ctrl_c_after(delay):
    return later(delay, lambda: os.kill(os.getpid(), signal.SIGINT))

def outcome(call):
    try:
        result = call()
        report = {"type": None, "result": repr(result)}
    except BaseException as error:
        report = {"type": type(error).__name__, "args": [str(a) for a in error.args]}
    report["end"] = time.monotonic()
    return report

def quiet_afterwards():
    # A signal left pending would surface as KeyboardInterrupt here.
    for _ in range(100000):
        pass
    time.sleep(0.1)
    return True
"""


def child(body):
    return run_child(CHILD_PRELUDE + body)


def assert_interrupted(report):
    assert {key: report.get(key) for key in ("type", "args")} == INTERRUPTED, report


def test_ctrl_c_ends_a_long_window_wait():
    report = child(
        """
keep_clear_of_hour_rollover()
limiter = quellgate.RateLimiter(hour=1, max_burst=5)
limiter.acquire()
sent = ctrl_c_after(1.5)
result = outcome(limiter.acquire)
print(json.dumps({"result": result, "sent": sent, "remaining": limiter.get_remaining(),
                  "quiet": quiet_afterwards()}))
"""
    )
    assert_interrupted(report["result"])
    assert len(report["sent"]) == 1
    latency = report["result"]["end"] - report["sent"][0]
    assert 0 <= latency < 5
    # Neither a count nor the burst permit of the interrupted call stays taken.
    assert report["remaining"] == {"hour": 0, "burst": 4}
    assert report["quiet"] is True


def test_ctrl_c_during_a_burst_wait_is_acted_on_when_admission_ends():
    report = child(
        """
limiter = quellgate.RateLimiter(sec=HUGE, max_burst=1)
limiter.acquire()
sent = ctrl_c_after(0.5)
released = later(1.0, limiter.release)
result = outcome(limiter.acquire)
print(json.dumps({"result": result, "sent": sent, "released": released,
                  "burst": limiter.get_remaining()["burst"], "quiet": quiet_afterwards()}))
"""
    )
    assert_interrupted(report["result"])
    assert len(report["sent"]) == 1 and len(report["released"]) == 1
    # Burst waits never run the signal handlers; the admission has to end first.
    assert report["result"]["end"] >= report["released"][0]
    # The permit taken by the admission that reported the interruption is back.
    assert report["burst"] == 1
    assert report["quiet"] is True


def test_ctrl_c_also_ends_another_thread_waiting_on_the_same_limiter():
    report = child(
        """
keep_clear_of_hour_rollover()
limiter = quellgate.RateLimiter(hour=1)
limiter.acquire()
other = {}
waiter = threading.Thread(target=lambda: other.update(outcome(limiter.acquire)), daemon=True)
waiter.start()
time.sleep(0.3)
sent = ctrl_c_after(1.5)
result = outcome(limiter.acquire)
waiter.join(10)
print(json.dumps({"result": result, "other": other, "alive": waiter.is_alive(),
                  "quiet": quiet_afterwards()}))
"""
    )
    assert_interrupted(report["result"])
    assert report["alive"] is False
    assert_interrupted(report["other"])
    assert abs(report["other"]["end"] - report["result"]["end"]) < 3
    assert report["quiet"] is True


def test_ctrl_c_during_with_and_wrapper_waits_skips_the_body():
    report = child(
        """
keep_clear_of_hour_rollover()
limiter = quellgate.RateLimiter(hour=1, max_burst=3)
limiter.acquire()
ran = []

def enter_block():
    with limiter:
        ran.append("with body")

ctrl_c_after(1.2)
with_result = outcome(enter_block)
quiet = quiet_afterwards()
ctrl_c_after(1.2)
wrapper_result = outcome(limiter(lambda: ran.append("wrapped")))
print(json.dumps({"with": with_result, "wrapper": wrapper_result, "ran": ran,
                  "burst": limiter.get_remaining()["burst"], "quiet": quiet and quiet_afterwards()}))
"""
    )
    assert_interrupted(report["with"])
    assert_interrupted(report["wrapper"])
    assert report["ran"] == []
    assert report["burst"] == 2
    assert report["quiet"] is True
