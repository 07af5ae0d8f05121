"""Cancelled, timed-out and orphaned acquisitions give their burst permits back."""

import asyncio
import random
import time

import pytest

from async_helpers import asyncio_test, burst_comes_back_to, run_script, script_report
from quellgate import AsyncRateLimiter

HUGE = 2**62


async def hold_then_wait(limiter):
    """Take the only permit with the window still open, then start a second acquire that must wait."""
    assert await limiter.acquire() == ()
    return limiter.acquire()


@asyncio_test()
async def test_cancelling_a_window_wait_gives_its_burst_permit_back():
    limiter = AsyncRateLimiter(min=1, max_burst=1)
    assert await limiter.acquire() == ()
    assert await limiter.release() == ()
    # The window is full; the waiter takes the free permit and holds it while it waits.
    waiter = limiter.acquire()
    report = await limiter.get_remaining()
    for _ in range(200):
        if report["burst"] == 0:
            break
        await asyncio.sleep(0.01)
        report = await limiter.get_remaining()
    assert report == {"minute": 0, "burst": 0}
    waiter.cancel()
    assert await burst_comes_back_to(limiter, 1) == 1
    assert waiter.cancelled()


@asyncio_test()
async def test_wait_for_timeout_ends_a_burst_wait_and_leaves_the_held_permit_alone():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)
    waiter = await hold_then_wait(limiter)
    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(waiter, 0.3)
    assert waiter.cancelled()
    await asyncio.sleep(0.3)
    # Only the permit taken before is held; the timed-out waiter took none.
    assert (await limiter.get_remaining())["burst"] == 0
    assert await limiter.release() == ()
    assert await burst_comes_back_to(limiter, 1) == 1
    assert await asyncio.wait_for(limiter.acquire(), 30) == ()


@asyncio_test()
async def test_cancelled_wait_delivers_nothing_and_the_loop_reports_no_error():
    reported = []
    asyncio.get_running_loop().set_exception_handler(lambda loop, context: reported.append(context))
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)
    waiter = await hold_then_wait(limiter)
    await asyncio.sleep(0.05)
    waiter.cancel()
    await limiter.release()
    # Had the abandoned job gone on, it would take the permit that was just given back.
    await asyncio.sleep(1.0)
    assert (await limiter.get_remaining())["burst"] == 1
    assert reported == []


@asyncio_test()
async def test_cancelled_window_waits_take_no_capacity_after_the_rollover():
    # No burst permit to hand back, but a wait left running would take the
    # next window's capacity for nobody.
    limiter = AsyncRateLimiter(sec=2)
    while time.time() % 1 > 0.6:
        await asyncio.sleep(0.05)  # early in a second, so both waits start before it ends
    window = int(time.time())
    await asyncio.gather(limiter.acquire(), limiter.acquire())
    cancelled = limiter.acquire()
    timed_out = asyncio.ensure_future(asyncio.wait_for(limiter.acquire(), 0.05))
    await asyncio.sleep(0.01)
    assert cancelled.cancel()
    with pytest.raises(asyncio.TimeoutError):
        await timed_out
    assert int(time.time()) == window, "the second ended before the waits were cut"
    await asyncio.sleep(window + 1.3 - time.time())
    assert await limiter.get_remaining() == {"second": 2}


async def acquire_and_release(limiter, rng, outcomes):
    """One acquisition that may be cut short at any moment; releases whatever it got."""
    future = limiter.acquire()
    admitted = False
    try:
        if rng.random() < 0.5:
            await asyncio.wait_for(future, rng.uniform(0.0, 0.02))
        else:
            await future
        admitted = True
        await asyncio.sleep(rng.uniform(0.0, 0.005))
    except (asyncio.CancelledError, asyncio.TimeoutError):
        outcomes["cut"] += 1
        if admitted:
            limiter.release()
        elif future.done() and not future.cancelled():
            # The result arrived just before the cut reached this task: the
            # Future gave that permit back itself, so nothing is released here.
            outcomes["late"] += 1
        raise
    outcomes["admitted"] += 1
    await limiter.release()


@asyncio_test(timeout=120)
async def test_random_cancellations_never_lose_a_permit():
    rng = random.Random(20240611)
    max_burst = 3
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=max_burst)
    outcomes = {"admitted": 0, "cut": 0, "late": 0}
    for _ in range(8):
        tasks = [asyncio.ensure_future(acquire_and_release(limiter, rng, outcomes)) for _ in range(60)]
        await asyncio.sleep(rng.uniform(0.0, 0.01))
        for task in tasks:
            if rng.random() < 0.3:
                task.cancel()
            if rng.random() < 0.1:
                await asyncio.sleep(rng.uniform(0.0, 0.003))
        await asyncio.gather(*tasks, return_exceptions=True)
        assert await burst_comes_back_to(limiter, max_burst) == max_burst, outcomes
    assert outcomes["admitted"] > 0 and outcomes["cut"] > 0, outcomes


# A waiter whose loop is closed under it: once the permit is given back, the
# waiter takes it within a backoff step and then cannot deliver to that loop.
# The worker reports the dropped outcome on sys.stderr; the scripts wait until
# the report is written rather than exit while it is being written.
WAITER_ON_A_CLOSED_LOOP = """
import asyncio, json, sys, threading, time, quellgate

limiter = quellgate.AsyncRateLimiter(sec=2**62, max_burst=1)
async def take():
    return await limiter.acquire()
assert asyncio.run(take()) == ()

loop = asyncio.new_event_loop()
def start_waiting():
    async def start():
        global pending
        pending = limiter.acquire()
    loop.run_until_complete(start())
thread = threading.Thread(target=start_waiting)
thread.start()
thread.join()
loop.close()

printed, write = threading.Event(), sys.stderr.write
sys.stderr.write = lambda text: (write(text), "quellgate" in text and printed.set())[0]

async def give_back_and_wait_for_the_report():
    await limiter.release()
    deadline = time.monotonic() + 30
    while not printed.is_set() and time.monotonic() < deadline:
        await asyncio.sleep(0.02)
"""


def test_closed_loop_during_a_job_prints_one_line_and_crashes_nothing():
    child = run_script(
        WAITER_ON_A_CLOSED_LOOP,
        """
        asyncio.run(give_back_and_wait_for_the_report())
        print("still here", pending.done())
        """
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "still here False"
    assert child.stderr.splitlines() == [
        "quellgate: 1 AsyncRateLimiter Future(s) left waiting on a closed event loop; "
        "their outcome was dropped and any burst permit went back"
    ]
    assert "Fatal" not in child.stderr and "panicked" not in child.stderr


def test_delivery_to_a_closed_loop_gives_the_permit_back():
    report = script_report(
        WAITER_ON_A_CLOSED_LOOP,
        """
        async def release_then_look():
            await give_back_and_wait_for_the_report()
            deadline = time.monotonic() + 5
            report = await limiter.get_remaining()
            while report["burst"] != 1 and time.monotonic() < deadline:
                await asyncio.sleep(0.05)
                report = await limiter.get_remaining()
            return dict(report, delivery_failed=printed.is_set())
        print(json.dumps(asyncio.run(release_then_look())))
        """
    )
    assert report["delivery_failed"]
    assert report["burst"] == 1


def test_an_outcome_cancelled_before_its_loop_closed_is_dropped_unreported():
    # As when asyncio.run winds up: the Future is cancelled and its loop closed
    # before the job ends (the cancellation's callback never ran, so the job
    # was not told). The outcome goes unreported, as a cancelled one does on
    # an open loop, and the permit comes back.
    report = script_report(
        """
        import asyncio, json, sys, threading, quellgate
        reports, go_on = [], threading.Event()
        sys.excepthook = lambda *report: reports.append(report)
        sys.stderr.write = reports.append
        limiter = quellgate.AsyncRateLimiter(sec=2**62, max_burst=2)
        limited = limiter(lambda: go_on.wait(30))
        loop = asyncio.new_event_loop()
        async def start():
            return limited()
        pending = loop.run_until_complete(start())
        pending.cancel()
        loop.close()
        go_on.set()
        async def burst_back():
            while (await limiter.get_remaining())["burst"] != 2:
                await asyncio.sleep(0.02)
        asyncio.run(asyncio.wait_for(burst_back(), 10))
        print(json.dumps({"reports": len(reports), "cancelled": pending.cancelled()}))
        """
    )
    assert report == {"reports": 0, "cancelled": True}
