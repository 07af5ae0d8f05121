"""Outcomes that need no wait are decided on the loop's thread; refusals still yield."""

import asyncio
import threading

import pytest

from async_helpers import asyncio_test, script_report
from quellgate import AsyncRateLimiter

HUGE = 2**62


async def tick_every_iteration(ticks):
    """Append to `ticks` once per loop iteration, until cancelled."""
    while True:
        ticks.append(1)
        await asyncio.sleep(0)


@asyncio_test()
async def test_immediate_outcomes_never_yield_to_the_loop():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=2)
    ticks = []
    other = asyncio.ensure_future(tick_every_iteration(ticks))
    await asyncio.sleep(0)
    seen = len(ticks)
    for _ in range(200):
        assert await limiter.acquire() == ()
        async with limiter as bound:
            assert bound == ()
        assert (await limiter.get_remaining())["burst"] == 1
        assert await limiter.wait_time() is None
        assert await limiter.release() == ()
    # Not one iteration of the loop went by: the ticker never ran again.
    assert len(ticks) == seen
    # A completed Future cannot change: cancelling it does nothing, and the
    # admission in it is the caller's; a callback added to it still runs.
    admitted = limiter.acquire()
    called = []
    admitted.add_done_callback(called.append)
    assert admitted.cancel() is False and admitted.result() == ()
    assert (await limiter.get_remaining())["burst"] == 1
    await asyncio.sleep(0)
    assert called == [admitted]
    assert await limiter.release() == ()
    other.cancel()


def test_the_async_with_futures_belong_to_each_running_loop():
    # What __aenter__ and __aexit__ return at once may be reused on a loop;
    # it must never be another loop's, whether loops follow one another or
    # run side by side in threads.
    async def enter_and_exit():
        limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)
        loop = asyncio.get_running_loop()
        for _ in range(3):
            entered = limiter.__aenter__()
            assert entered.get_loop() is loop and entered.done() and await entered == ()
            assert (await limiter.get_remaining())["burst"] == 0
            exited = limiter.__aexit__(None, None, None)
            assert exited.get_loop() is loop and exited.cancel() is False and await exited is False
            assert (await limiter.get_remaining())["burst"] == 1
        return True

    assert asyncio.run(enter_and_exit()) and asyncio.run(enter_and_exit())
    outcomes = []
    threads = [threading.Thread(target=lambda: outcomes.append(asyncio.run(enter_and_exit()))) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert outcomes == [True] * 4


@asyncio_test()
async def test_non_blocking_refusals_complete_on_the_next_iteration_with_their_old_values():
    limiter = AsyncRateLimiter(hour=1, blocking=False)
    calls = []

    @limiter
    async def limited():
        calls.append("called")

    ticks = []
    other = asyncio.ensure_future(tick_every_iteration(ticks))
    assert await limiter.acquire() == ()
    before = len(ticks)
    refusals = [limiter.acquire(), limiter.__aenter__(), limited()]
    assert not any(future.done() for future in refusals)
    assert await refusals[0] is None
    with pytest.raises(ValueError, match="^Failed to acquire permit$"):
        await refusals[1]
    with pytest.raises(ValueError, match="^Rate limit exceeded$"):
        await refusals[2]
    # A task polling a refusing limiter lets the others run between polls.
    for _ in range(20):
        assert await limiter.acquire() is None
    assert len(ticks) - before >= 20
    assert calls == []
    # A refusal cancelled before it lands is dropped quietly.
    reported = []
    asyncio.get_running_loop().set_exception_handler(lambda loop, context: reported.append(context))
    dropped = limiter.acquire()
    dropped.cancel()
    await asyncio.sleep(0.01)
    assert dropped.cancelled() and reported == []
    other.cancel()


def test_every_call_fails_alike_with_no_loop_or_a_broken_worker_setting():
    report = script_report(
        """
        import asyncio, json, quellgate

        limiter = quellgate.AsyncRateLimiter(sec=100, max_burst=5)

        async def coroutine():
            return 1

        calls = [limiter.acquire, limiter.__aenter__, limiter.release, limiter.get_remaining,
                 limiter.wait_time, lambda: limiter.__aexit__(None, None, None), limiter(coroutine),
                 limiter(lambda: 1)]

        def outcomes():
            seen = []
            for call in calls:
                try:
                    future = call()
                    seen.append("returned " + type(future).__name__)
                except BaseException as error:
                    seen.append(type(error).__name__ + ": " + str(error))
            return seen

        async def on_a_loop():
            return outcomes()

        print(json.dumps({"no loop": outcomes(), "loop": asyncio.run(on_a_loop()),
                          "again": asyncio.run(on_a_loop()), "sync": quellgate.RateLimiter(sec=1).acquire()}))
        """,
        env_update={"OSKEN_WORKER_THREADS": "0"},
    )
    assert all(outcome.startswith("RuntimeError: no running event loop") for outcome in report["no loop"]), report
    # Nothing needed a wait, yet every call made the executor's build fail, every time.
    assert "OSKEN_WORKER_THREADS" in report["loop"][0], report
    assert all(outcome.startswith("PanicException: ") for outcome in report["loop"] + report["again"]), report
    assert report["sync"] is True
