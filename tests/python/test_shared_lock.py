"""A shared limiter's segment lock held by a stopped process, or overwritten:
every call ends, with the interpreter lock free and the event loop running
meanwhile, and raises the OSError that acquire() raises."""

import asyncio
import itertools
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import quellgate
from helpers import linux_only_module
from quellgate import AsyncRateLimiter, RateLimiter

linux_only_module("a holder stopped with SIGSTOP inside the segment's pthread mutex")

# Where Layout::mutex lies in a segment of layout version 1 (the version is
# part of the object's name): after the 104-byte header, on a 64-byte line.
MUTEX_OFFSET = 128
# A child that takes the segment's mutex, says so, and stops itself.
HOLDER = """
import ctypes, mmap, os, signal, sys
with open(sys.argv[1], "r+b") as segment:
    mapped = mmap.mmap(segment.fileno(), 0)
address = ctypes.addressof(ctypes.c_char.from_buffer(mapped)) + %d
assert ctypes.CDLL(None).pthread_mutex_lock(ctypes.c_void_p(address)) == 0
print("held", flush=True)
os.kill(os.getpid(), signal.SIGSTOP)
""" % MUTEX_OFFSET
_names = itertools.count()


@pytest.fixture
def name():
    chosen = "qglock.%d.%d" % (os.getpid(), next(_names))
    yield chosen
    quellgate.remove_shared(chosen)


@pytest.fixture
def stopped_holder(name):
    """Opens `name`, then a child holds its lock, stopped; killed afterwards,
    which leaves the lock to the next taker as a dead owner's."""
    RateLimiter.shared(name, sec=5, max_burst=2)
    child = subprocess.Popen([sys.executable, "-c", HOLDER, "/dev/shm/quellgate.3." + name], stdout=subprocess.PIPE)
    assert child.stdout.readline() == b"held\n"
    while open("/proc/%d/stat" % child.pid).read().rsplit(")", 1)[1].split()[0] != "T":
        time.sleep(0.01)
    yield child
    child.kill()
    child.wait()


def assert_names_the_stopped_holder(error, name, child):
    assert isinstance(error, OSError), repr(error)
    message = str(error)
    assert name in message and "process %d" % child.pid in message and "stopped" in message, message


def test_thread_calls_end_with_oserror_while_other_threads_run(name, stopped_holder):
    limiter = RateLimiter.shared(name, sec=5, max_burst=2)
    calls = [limiter.acquire, limiter.release, limiter.get_remaining, limiter.wait_time,
             lambda: limiter.__exit__(None, None, None)]
    errors = [None] * len(calls)

    def run(i):
        try:
            calls[i]()
        except BaseException as error:  # noqa: B036 - whatever ends it is the result
            errors[i] = error

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(calls))]
    for thread in threads:
        thread.start()
    spins = 0
    while any(thread.is_alive() for thread in threads):
        spins += 1  # runs only while no waiter holds the interpreter lock
        if spins % 10000 == 0:
            time.sleep(0.001)
    for error in errors:
        assert_names_the_stopped_holder(error, name, stopped_holder)
    assert spins > 10000
    # Once the holder is gone its lock is taken over, and calls work again.
    stopped_holder.kill()
    stopped_holder.wait()
    assert limiter.get_remaining()["burst"] == 2


def test_ctrl_c_ends_a_wait_for_the_lock(name, stopped_holder):
    limiter = RateLimiter.shared(name, sec=5, max_burst=2)
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
    with pytest.raises(KeyboardInterrupt):
        limiter.get_remaining()


def test_asyncio_calls_end_with_oserror_while_the_loop_runs(name, stopped_holder):
    limiter = AsyncRateLimiter.shared(name, sec=5, max_burst=2)

    async def main():
        ticks = 0

        async def tick():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.01)

        ticker = asyncio.ensure_future(tick())
        outcomes = await asyncio.gather(limiter.acquire(), limiter.release(), limiter.get_remaining(),
                                        limiter.wait_time(), limiter.__aexit__(None, None, None),
                                        return_exceptions=True)
        ticker.cancel()
        return outcomes, ticks

    outcomes, ticks = asyncio.run(main())
    for outcome in outcomes:
        assert_names_the_stopped_holder(outcome, name, stopped_holder)
    assert ticks > 20


@pytest.mark.parametrize("report", ["get_remaining", "wait_time"])
def test_a_report_on_an_overwritten_lock_raises_what_acquire_raises(name, report):
    limiter = RateLimiter.shared(name, sec=5, max_burst=2)
    with open("/dev/shm/quellgate.3." + name, "r+b") as segment:
        segment.seek(MUTEX_OFFSET)
        segment.write(b"\xff" * 40)
    with pytest.raises(OSError) as acquired:
        limiter.acquire()
    with pytest.raises(OSError) as reported:
        getattr(limiter, report)()
    assert str(reported.value) == str(acquired.value)
    assert "cannot be taken" in str(reported.value)
