"""Ctrl+C during waits, each in a child interpreter that sends itself SIGINT
(on Windows: a Ctrl+C event on a console of its own)."""

import subprocess

import pytest

from helpers import linux_only, run_child

INTERRUPTED = {"type": "KeyboardInterrupt", "args": ["Operation interrupted"]}

CHILD_PRELUDE = """
import json, os, signal, sys, threading, time
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

if sys.platform == "win32":
    import ctypes
    # A Ctrl+C event goes to every process of a console: this child has one
    # of its own.
    def ctrl_c_after(delay):
        return later(delay, lambda: ctypes.WinDLL("kernel32").GenerateConsoleCtrlEvent(0, 0))

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
    return run_child(CHILD_PRELUDE + body, creationflags=getattr(subprocess, "CREATE_NEW_CONSOLE", 0))


def assert_interrupted(report):
    assert {key: report.get(key) for key in ("type", "args")} == INTERRUPTED, report


# Test harnesses run the exit functions early; that must not stop waits from
# running the signal handlers.
@pytest.mark.parametrize("prelude", ["", "import atexit; atexit._run_exitfuncs()"],
                         ids=["plain", "after atexit._run_exitfuncs"])
def test_ctrl_c_ends_a_long_window_wait(prelude):
    report = child(
        prelude
        + """
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


def test_ctrl_c_ends_burst_waits_that_nothing_else_would_end():
    # A permit nobody gives back, and a decorated function calling another one
    # of the same max_burst=1 limiter: before, both waited for good.
    report = child(
        """
limiter = quellgate.RateLimiter(sec=HUGE, max_burst=1)
limiter.acquire()
sent = ctrl_c_after(0.5)
plain = outcome(limiter.acquire)
plain["sent"] = sent
limiter.release()

@limiter
def inner():
    return "inner"

@limiter
def outer():
    return inner()

sent = ctrl_c_after(0.5)
nested = outcome(outer)
nested["sent"] = sent
print(json.dumps({"plain": plain, "nested": nested, "burst": limiter.get_remaining()["burst"],
                  "quiet": quiet_afterwards()}))
"""
    )
    for case in ("plain", "nested"):
        assert_interrupted(report[case])
        assert len(report[case]["sent"]) == 1
        assert 0 <= report[case]["end"] - report[case]["sent"][0] < 5, report
    # The outer call's permit came back when the interruption left it.
    assert report["burst"] == 1
    assert report["quiet"] is True


def test_ctrl_c_on_the_main_thread_also_ends_the_window_and_burst_waits_of_other_threads():
    report = child(
        """
keep_clear_of_hour_rollover()
limiter = quellgate.RateLimiter(hour=1, max_burst=2)
limiter.acquire()  # fills the hour and holds one permit
others = [{}, {}]

def wait_in(slot):
    others[slot].update(outcome(limiter.acquire))

waiters = [threading.Thread(target=wait_in, args=(slot,), daemon=True) for slot in (0, 1)]
waiters[0].start()  # takes the second permit and waits for the hour
time.sleep(0.3)
waiters[1].start()  # waits for a permit
time.sleep(0.3)
sent = ctrl_c_after(1.5)
result = outcome(limiter.acquire)  # waits for a permit too
for waiter in waiters:
    waiter.join(10)
print(json.dumps({"result": result, "sent": sent, "others": others,
                  "alive": [waiter.is_alive() for waiter in waiters],
                  "remaining": limiter.get_remaining(), "quiet": quiet_afterwards()}))
"""
    )
    assert_interrupted(report["result"])
    assert 0 <= report["result"]["end"] - report["sent"][0] < 5
    assert report["alive"] == [False, False]
    for other in report["others"]:
        assert_interrupted(other)
        assert abs(other["end"] - report["result"]["end"]) < 3
    # Only the permit of the first, admitted call is still held.
    assert report["remaining"] == {"hour": 0, "burst": 1}
    assert report["quiet"] is True


@linux_only("SIGUSR1")
def test_a_signal_handlers_own_exception_ends_a_wait_unchanged():
    report = child(
        """
class FromTheHandler(Exception):
    pass

def on_usr1(signum, frame):
    raise FromTheHandler("raised by the handler")

signal.signal(signal.SIGUSR1, on_usr1)
limiter = quellgate.RateLimiter(sec=HUGE, max_burst=1)
limiter.acquire()
other = {}
waiter = threading.Thread(target=lambda: other.update(outcome(limiter.acquire)), daemon=True)
waiter.start()
later(0.5, lambda: os.kill(os.getpid(), signal.SIGUSR1))
result = outcome(limiter.acquire)
time.sleep(0.3)
other["waited_on"] = waiter.is_alive()
limiter.release()
waiter.join(10)
print(json.dumps({"result": result, "other": other, "burst": limiter.get_remaining()["burst"],
                  "quiet": quiet_afterwards()}))
"""
    )
    assert {key: report["result"].get(key) for key in ("type", "args")} == {
        "type": "FromTheHandler", "args": ["raised by the handler"]}
    # Only Ctrl+C ends the other thread's wait too; this one is admitted once the first call releases.
    assert report["other"]["waited_on"] is True and report["other"]["type"] is None, report
    assert report["burst"] == 0  # the other thread holds the only permit
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
