"""Many loops, many threads and many waiters on one AsyncRateLimiter."""

import asyncio
import threading
import time

from async_helpers import async_sleep_until_window_start, asyncio_test, burst_comes_back_to, thread_names, window_index
from quellgate import AsyncRateLimiter

HUGE = 2**62


def run_in_threads(count, coroutine_function):
    """Run coroutine_function(index) on its own event loop in each of `count` threads; return the results."""
    start = threading.Barrier(count)
    results = [None] * count
    errors = []

    def body(index):
        try:
            start.wait(30)
            results[index] = asyncio.run(asyncio.wait_for(coroutine_function(index), 120))
        except BaseException as error:  # reported below, with the thread's own traceback lost
            errors.append(repr(error))

    threads = [threading.Thread(target=body, args=(index,)) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(180)
    assert not any(thread.is_alive() for thread in threads), "a loop thread did not finish"
    assert errors == []
    return results


def test_loops_in_several_threads_never_over_admit_one_window():
    limit = 25
    for _ in range(3):
        limiter = AsyncRateLimiter(hour=limit, blocking=False)
        hour = window_index(3600)

        async def hammer(_):
            results = await asyncio.gather(*[limiter.acquire() for _ in range(40)])
            return sum(1 for result in results if result == ())

        admitted = run_in_threads(4, hammer)
        if window_index(3600) == hour:
            break
    assert sum(admitted) == limit


def test_loops_in_several_threads_never_hold_more_than_max_burst():
    max_burst = 3
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=max_burst)
    lock = threading.Lock()
    held = [0]
    most_held = [0]

    async def take_turns(_):
        for _ in range(30):
            assert await limiter.acquire() == ()
            with lock:
                held[0] += 1
                most_held[0] = max(most_held[0], held[0])
            await asyncio.sleep(0)
            with lock:
                held[0] -= 1
            assert await limiter.release() == ()
        return True

    assert run_in_threads(4, take_turns) == [True] * 4
    assert 1 <= most_held[0] <= max_burst

    async def look():
        return await burst_comes_back_to(limiter, max_burst)

    assert asyncio.run(look()) == max_burst


def test_blocking_waiters_across_loops_are_admitted_in_later_windows_only():
    # Two per second and twelve callers: the last ones must wait for later seconds.
    limiter = AsyncRateLimiter(sec=2)
    time.sleep(1.01 - time.time() % 1)
    first_second = int(time.time())

    async def acquire_three(_):
        stamps = []
        for _ in range(3):
            assert await limiter.acquire() == ()
            stamps.append(time.time())
        return stamps

    stamps = sorted(stamp for stamps in run_in_threads(4, acquire_three) for stamp in stamps)
    # A stamp is taken after its admission, so it can only be later than the second that admitted it.
    # The k-th admission (from 0) needs k // 2 rollovers after the first second.
    for k, stamp in enumerate(stamps):
        assert int(stamp) >= first_second + k // 2, (k, stamp - first_second)


def thread_count():
    return len(thread_names())


@asyncio_test(timeout=120)
async def test_a_thousand_waiters_on_a_full_window_finish_after_rollover_without_new_threads():
    limit = 1000
    for _ in range(3):
        window = await async_sleep_until_window_start(5)
        limiter = AsyncRateLimiter(sec=limit, sec_window=5)
        assert await asyncio.gather(*[limiter.acquire() for _ in range(limit)]) == [()] * limit
        report = await limiter.get_remaining()
        if window_index(5) == window:
            break
    assert report == {"second": 0}
    rollover = (window + 1) * 5
    threads_before = thread_count()

    async def wait_and_stamp():
        assert await limiter.acquire() == ()
        return time.time()

    waiters = [asyncio.ensure_future(wait_and_stamp()) for _ in range(limit)]
    await asyncio.sleep(0.5)
    threads_while_waiting = thread_count()
    stamps = await asyncio.wait_for(asyncio.gather(*waiters), 90)
    assert threads_while_waiting == threads_before
    assert thread_count() == threads_before
    assert min(stamps) >= rollover
    # Delivery keeps collecting on every loop iteration only while
    # admissions come: once they stop, the loop goes idle, not round and round.
    cpu_before = time.process_time()
    await asyncio.sleep(0.5)
    assert time.process_time() - cpu_before < 0.25


def test_thousands_of_waiters_on_loops_in_threads_with_random_cancellations_keep_the_cap():
    # Waiters for burst permits are admitted by workers and land in batches on
    # their loops; cancellations race those landings.
    max_burst = 40
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=max_burst)
    lock = threading.Lock()
    held, most_held, admitted = [0], [0], [0]

    async def hold():
        async with limiter:
            with lock:
                held[0] += 1
                most_held[0] = max(most_held[0], held[0])
                admitted[0] += 1
            try:
                await asyncio.sleep(0)
            finally:
                with lock:
                    held[0] -= 1

    async def crowd(index):
        import random

        rnd = random.Random(index)
        tasks = [asyncio.ensure_future(hold()) for _ in range(500)]
        for task in tasks:
            if rnd.random() < 0.3:
                await asyncio.sleep(rnd.choice([0, 0, 0.0005, 0.005]))
                task.cancel()
        outcomes = await asyncio.gather(*tasks, return_exceptions=True)
        assert all(o is None or isinstance(o, asyncio.CancelledError) for o in outcomes)
        return sum(1 for o in outcomes if o is None)

    completed = run_in_threads(4, crowd)
    assert 1 <= most_held[0] <= max_burst
    assert admitted[0] >= sum(completed) > 0

    async def burst_after():
        return await burst_comes_back_to(limiter, max_burst)

    assert asyncio.run(burst_after()) == max_burst
