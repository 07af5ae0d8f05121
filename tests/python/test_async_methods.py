"""What an asyncio caller gets back from each AsyncRateLimiter method."""

import asyncio
import inspect
import threading
import time

import pytest

from async_helpers import (
    async_sleep_until_window_start,
    asyncio_test,
    burst_comes_back_to,
    script_report,
    window_index,
)
from quellgate import AsyncRateLimiter

HUGE = 2**62
METHOD_NAMES = ["acquire", "release", "get_remaining", "wait_time", "__aenter__"]


@asyncio_test()
async def test_every_method_returns_a_future_of_the_running_loop_done_when_nothing_waits():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=HUGE)
    loop = asyncio.get_running_loop()

    async def coroutine():
        return 1

    immediate = [getattr(limiter, name)() for name in METHOD_NAMES]
    immediate.append(limiter.__aexit__(None, None, None))
    deferred = [limiter(lambda: 1)(), limiter(coroutine)()]
    for future in immediate + deferred:
        assert isinstance(future, asyncio.Future)
        assert not asyncio.iscoroutine(future)
        assert future.get_loop() is loop
    # Like an uncontended asyncio.Lock: an outcome known at once is already in the
    # Future, so get_remaining() saw the acquire and the release made before it.
    assert all(future.done() for future in immediate)
    # A decorated call still has its body to run: a plain function on a worker,
    # a coroutine as the task of this loop that the Future is.
    assert not any(future.done() for future in deferred)
    assert await asyncio.gather(*immediate, *deferred) == [(), (), {"second": HUGE - 1, "burst": HUGE}, None, (), False, 1, 1]


def test_methods_are_plain_functions_not_coroutine_functions():
    limiter = AsyncRateLimiter(sec=1)
    for name in METHOD_NAMES + ["__aexit__"]:
        assert not inspect.iscoroutinefunction(getattr(limiter, name)), name
        assert not asyncio.iscoroutinefunction(getattr(limiter, name)), name


@asyncio_test()
async def test_results_are_empty_tuples_dicts_floats_and_false():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=4)
    assert await limiter.acquire() == ()
    assert await limiter.__aenter__() == ()
    assert await limiter.get_remaining() == {"second": HUGE - 2, "burst": 2}
    released = await limiter.release()
    assert released == () and released is not None
    exited = await limiter.__aexit__(None, None, None)
    assert exited is False
    assert await limiter.get_remaining() == {"second": HUGE - 2, "burst": 4}
    assert await limiter.wait_time() is None


@asyncio_test()
async def test_async_with_binds_empty_tuple_and_gives_the_permit_back():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)
    async with limiter as bound:
        assert bound == ()
        assert (await limiter.get_remaining())["burst"] == 0
    assert (await limiter.get_remaining())["burst"] == 1


@asyncio_test()
async def test_exception_in_async_with_block_propagates_and_releases():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)
    raised = RuntimeError("from the block")
    with pytest.raises(RuntimeError) as caught:
        async with limiter:
            raise raised
    assert caught.value is raised
    assert (await limiter.get_remaining())["burst"] == 1


@asyncio_test()
async def test_non_blocking_refusal_is_none_from_acquire_and_valueerror_from_async_with():
    for _ in range(5):
        await async_sleep_until_window_start()
        window = window_index(1)
        limiter = AsyncRateLimiter(sec=2, blocking=False, max_burst=5)
        results = [await limiter.acquire() for _ in range(3)]
        with pytest.raises(ValueError) as refused:
            async with limiter:
                pytest.fail("the block must not run when refused")
        report = await limiter.get_remaining()
        if window_index(1) == window:
            break
    else:
        pytest.fail("no attempt fitted inside one second")
    assert results == [(), (), None]
    assert refused.value.args == ("Failed to acquire permit",)
    # Refusals keep neither a window place nor a burst permit.
    assert report == {"second": 0, "burst": 3}


@asyncio_test()
async def test_blocking_acquire_waits_for_the_rollover_and_never_resolves_to_none():
    await async_sleep_until_window_start()
    limiter = AsyncRateLimiter(sec=1)
    first_window = window_index(1)
    assert await limiter.acquire() == ()
    assert await limiter.acquire() == ()
    assert window_index(1) > first_window


@asyncio_test()
async def test_wait_time_reports_the_time_left_in_the_full_window():
    for _ in range(3):
        limiter = AsyncRateLimiter(min=1, blocking=False)
        assert await limiter.wait_time() is None
        assert await limiter.acquire() == ()
        asked_at = time.time()
        wait = await limiter.wait_time()
        answered_at = time.time()
        if int(answered_at) // 60 == int(asked_at) // 60:
            break
    assert isinstance(wait, float)
    rollover = (int(asked_at) // 60 + 1) * 60
    assert rollover - answered_at - 0.01 <= wait <= rollover - asked_at + 0.01


@asyncio_test()
async def test_wait_time_ignores_held_burst_permits():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)
    await limiter.acquire()
    assert await limiter.wait_time() is None


@asyncio_test()
async def test_surplus_releases_keep_the_burst_count_at_zero():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=2, blocking=False)
    for _ in range(3):
        assert await limiter.release() == ()
        assert await limiter.__aexit__(None, None, None) is False
    assert (await limiter.get_remaining())["burst"] == 2
    assert [await limiter.acquire() for _ in range(3)] == [(), (), None]
    assert (await limiter.get_remaining())["burst"] == 0


@asyncio_test()
async def test_all_jobs_of_one_instance_share_windows_and_permits():
    limiter = AsyncRateLimiter(hour=HUGE, max_burst=50)
    await asyncio.gather(*[limiter.acquire() for _ in range(50)])
    report = await limiter.get_remaining()
    assert report == {"hour": HUGE - 50, "burst": 0}
    await asyncio.gather(*[limiter.release() for _ in range(50)])
    assert await burst_comes_back_to(limiter, 50) == 50


def test_method_call_without_running_loop_raises_runtimeerror_at_the_call():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1, blocking=False)
    wrapper = limiter(lambda: pytest.fail("must not be called"))
    for call in [limiter.acquire, limiter.__aenter__, limiter.release, limiter.get_remaining, limiter.wait_time, wrapper]:
        with pytest.raises(RuntimeError, match="no running event loop"):
            call()
    with pytest.raises(RuntimeError, match="no running event loop"):
        limiter.__aexit__(None, None, None)

    async def look():
        return await limiter.get_remaining()

    # Neither admission nor release ran: nothing counted, no permit taken or given.
    assert asyncio.run(look()) == {"second": HUGE, "burst": 1}


def test_call_without_loop_in_another_thread_raises_there():
    limiter = AsyncRateLimiter(sec=1)
    errors = []

    def call():
        try:
            limiter.acquire()
        except RuntimeError as error:
            errors.append(error)

    thread = threading.Thread(target=call)
    thread.start()
    thread.join(30)
    assert len(errors) == 1 and "no running event loop" in str(errors[0])


def test_failed_call_without_loop_starts_no_worker_threads():
    report = script_report(
        """
        import json, quellgate
        limiter = quellgate.AsyncRateLimiter(sec=5)
        try:
            limiter.acquire()
        except RuntimeError as error:
            outcome = str(error)
        print(json.dumps({"outcome": outcome, "threads": len(settled_thread_names())}))
        """
    )
    assert "no running event loop" in report["outcome"]
    assert report["threads"] == 1


def test_aexit_arguments_are_checked_before_the_loop_is_looked_up():
    limiter = AsyncRateLimiter(sec=1)
    with pytest.raises(TypeError) as none_given:
        limiter.__aexit__()
    assert none_given.value.args == (
        "AsyncRateLimiter.__aexit__() missing 3 required positional arguments:"
        " '_exc_type', '_exc_value', and '_traceback'",
    )
    with pytest.raises(TypeError) as two_given:
        limiter.__aexit__(None, None)
    assert two_given.value.args == ("AsyncRateLimiter.__aexit__() missing 1 required positional argument: '_traceback'",)
    with pytest.raises(TypeError) as four_given:
        limiter.__aexit__(None, None, None, None)
    assert four_given.value.args == ("AsyncRateLimiter.__aexit__() takes 3 positional arguments but 4 were given",)


@asyncio_test()
async def test_aexit_accepts_keywords_and_ignores_the_values():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)
    await limiter.acquire()
    assert await limiter.__aexit__(_traceback=1, _exc_value=2, _exc_type=3) is False
    assert (await limiter.get_remaining())["burst"] == 1
    with pytest.raises(TypeError) as unexpected:
        limiter.__aexit__(None, None, None, exc=None)
    assert unexpected.value.args == ("AsyncRateLimiter.__aexit__() got an unexpected keyword argument 'exc'",)


@asyncio_test()
async def test_plain_with_statement_is_refused_before_any_permit_is_taken():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)
    with pytest.raises((TypeError, AttributeError)):
        with limiter:
            pytest.fail("the block must not run")
    assert (await limiter.get_remaining())["burst"] == 1
