"""AsyncRateLimiter as a decorator: where the function runs, what comes back, permits."""

import asyncio
import contextvars
import functools
import gc
import threading
import time

import pytest

from async_helpers import (
    WORKER_COMM,
    async_sleep_until_window_start,
    asyncio_test,
    burst_comes_back_to,
    thread_names,
    window_index,
)
from quellgate import AsyncRateLimiter

HUGE = 2**62
request_id = contextvars.ContextVar("request_id", default="unset")


def thread_comm(native_id):
    return thread_names(native_id)[0]


@asyncio_test()
async def test_plain_function_runs_off_the_loop_on_a_thread_named_like_the_workers():
    seen = {}

    @AsyncRateLimiter(sec=HUGE)
    def plain(a, b, *, c):
        seen["ident"] = threading.get_ident()
        seen["comm"] = thread_comm(threading.get_native_id())
        return [a, b, c]

    assert await plain(1, "two", c=None) == [1, "two", None]
    assert seen["ident"] != threading.main_thread().ident
    assert seen["comm"] == WORKER_COMM


@asyncio_test()
async def test_coroutine_function_runs_on_the_loop_in_the_callers_context():
    seen = {}

    @AsyncRateLimiter(sec=HUGE)
    async def coroutine(value):
        seen["ident"] = threading.get_ident()
        seen["request"] = request_id.get()
        request_id.set("changed inside")
        await asyncio.sleep(0)
        return value * 2

    request_id.set("caller's")
    future = coroutine(21)
    request_id.set("set after the call")
    assert await future == 42
    assert seen["ident"] == threading.get_ident()
    # The context is copied at the call: later changes are not seen, inner ones do not leak out.
    assert seen["request"] == "caller's"
    assert request_id.get() == "set after the call"


@asyncio_test()
async def test_keyword_arguments_arrive_in_the_callers_order():
    @AsyncRateLimiter(sec=HUGE)
    def keywords(*args, **kwargs):
        return args, list(kwargs.items())

    arguments = [("zeta", 1), ("alpha", 2), ("mid", 3), ("b", 4)]
    assert await keywords(**dict(arguments)) == ((), arguments)
    assert await keywords(5, 6) == ((5, 6), [])


@asyncio_test()
async def test_any_object_with_await_is_awaited_others_are_returned_as_they_are():
    class Awaitable:
        def __await__(self):
            yield from asyncio.sleep(0).__await__()
            return "awaited"

    class BrokenAwaitLookup:
        @property
        def __await__(self):
            raise RuntimeError("lookup fails otherwise than with AttributeError")

    broken = BrokenAwaitLookup()
    limiter = AsyncRateLimiter(sec=HUGE)
    assert await limiter(Awaitable)() == "awaited"
    assert await limiter(lambda: broken)() is broken
    coroutine_object = limiter(lambda: asyncio.sleep(0, result="slept"))
    assert await coroutine_object() == "slept"


@asyncio_test()
async def test_exceptions_from_function_and_coroutine_propagate_and_return_the_permit():
    failure = LookupError("from the function")

    def plain_failure():
        raise failure

    async def coroutine_failure():
        await asyncio.sleep(0)
        raise failure

    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)
    calls = []

    @limiter
    def second_call():
        calls.append("second")
        return "ok"

    for failing in (plain_failure, coroutine_failure):
        with pytest.raises(LookupError) as caught:
            await limiter(failing)()
        assert caught.value is failure
        # With its only permit lost, the next call would wait for ever.
        assert await asyncio.wait_for(second_call(), 30) == "ok"
    assert calls == ["second", "second"]
    assert await burst_comes_back_to(limiter, 1) == 1


@asyncio_test()
async def test_cancelled_error_raised_inside_the_coroutine_reaches_the_caller():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)

    @limiter
    async def cancels_itself():
        raise asyncio.CancelledError()

    with pytest.raises(asyncio.CancelledError):
        await cancels_itself()
    assert await burst_comes_back_to(limiter, 1) == 1


@asyncio_test()
async def test_non_blocking_refusal_raises_rate_limit_exceeded_without_calling():
    calls = []
    for _ in range(5):
        await async_sleep_until_window_start()
        window = window_index(1)
        limiter = AsyncRateLimiter(sec=1, blocking=False, max_burst=3)
        wrapped = limiter(lambda: calls.append("called") or "done")
        first = await wrapped()
        with pytest.raises(ValueError) as refused:
            await wrapped()
        report = await limiter.get_remaining()
        if window_index(1) == window:
            break
        calls.clear()
    else:
        pytest.fail("no attempt fitted inside one second")
    assert first == "done"
    assert refused.value.args == ("Rate limit exceeded",)
    assert calls == ["called"]
    assert report == {"second": 0, "burst": 3}


@asyncio_test()
async def test_cancelling_the_call_cancels_the_coroutine_and_returns_the_permit_once_it_ended():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)
    progress = []
    may_finish = asyncio.Event()

    @limiter
    async def slow():
        progress.append("started")
        try:
            await asyncio.sleep(3600)
        finally:
            progress.append("cleaning up")
            await may_finish.wait()  # still inside the body: the permit stays held
            progress.append("ended")

    future = slow()
    for _ in range(1000):
        if progress:
            break
        await asyncio.sleep(0.01)
    assert progress == ["started"]
    future.cancel()
    await asyncio.sleep(0.05)
    assert progress == ["started", "cleaning up"]
    assert (await limiter.get_remaining())["burst"] == 0
    may_finish.set()
    assert await burst_comes_back_to(limiter, 1) == 1
    assert progress == ["started", "cleaning up", "ended"]
    assert future.cancelled()


@asyncio_test()
async def test_wrapper_keeps_the_limiter_state_after_the_instance_is_gone():
    limiter = AsyncRateLimiter(hour=2, blocking=False, max_burst=5)
    wrapped = limiter(lambda value: value)
    del limiter
    gc.collect()
    for _ in range(3):
        hour = window_index(3600)
        results = [await wrapped(1), await wrapped(2)]
        with pytest.raises(ValueError, match="Rate limit exceeded"):
            await wrapped(3)
        if window_index(3600) == hour:
            break
        wrapped = AsyncRateLimiter(hour=2, blocking=False)(lambda value: value)
    assert results == [1, 2]


@asyncio_test()
async def test_jobs_keep_counting_after_the_instance_is_gone():
    for _ in range(3):
        hour = window_index(3600)
        limiter = AsyncRateLimiter(hour=3, blocking=False)
        pending = [limiter.acquire() for _ in range(5)]
        del limiter
        gc.collect()
        results = await asyncio.gather(*pending)
        if window_index(3600) == hour:
            break
    assert sorted(results, key=repr) == [(), (), (), None, None]


def test_decorating_needs_no_loop_and_checks_nothing_about_the_function():
    limiter = AsyncRateLimiter(sec=1)
    assert callable(limiter(42))
    assert callable(limiter(func=None))


def test_call_argument_errors_name_the_async_class():
    limiter = AsyncRateLimiter(sec=1)
    with pytest.raises(TypeError) as missing:
        limiter()
    assert missing.value.args == ("AsyncRateLimiter.__call__() missing 1 required positional argument: 'func'",)
    with pytest.raises(TypeError) as too_many:
        limiter(print, print)
    assert too_many.value.args == ("AsyncRateLimiter.__call__() takes 1 positional arguments but 2 were given",)
    with pytest.raises(TypeError) as unexpected:
        limiter(function=print)
    assert unexpected.value.args == ("AsyncRateLimiter.__call__() got an unexpected keyword argument 'function'",)
    with pytest.raises(TypeError) as twice:
        limiter(print, func=print)
    assert twice.value.args == ("AsyncRateLimiter.__call__() got multiple values for argument 'func'",)


async def _record_keywords(calls, **kwargs):
    calls.append(kwargs)


@pytest.mark.parametrize("function", [lambda calls, **kwargs: calls.append(kwargs), _record_keywords])
@asyncio_test()
async def test_non_str_keyword_fails_at_the_call_and_nothing_runs(function):
    calls = []
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)
    wrapper = limiter(functools.partial(function, calls))
    try:
        wrapper(**{1: 2})
    except TypeError as error:
        message = str(error)
    else:
        pytest.fail("a non-str keyword was accepted")
    if message == "keywords must be strings":
        pytest.skip("this interpreter refuses non-str keywords before the call reaches the wrapper")
    assert message == "'int' object cannot be converted to 'PyString'"
    await asyncio.sleep(0.2)
    assert calls == []
    assert await limiter.get_remaining() == {"second": HUGE, "burst": 1}


@asyncio_test()
async def test_calls_cancelled_while_queued_for_a_thread_never_start_and_give_their_permits_back():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=500)
    started = []
    slow = limiter(lambda: started.append(time.sleep(0.5)))
    futures = [slow() for _ in range(200)]
    await asyncio.sleep(0.1)
    for future in futures:
        future.cancel()
    assert await burst_comes_back_to(limiter, 500) == 500
    assert len(started) <= 64  # the blocking pool's threads: only calls already running went on


@asyncio_test()
async def test_a_plain_function_returning_another_loops_future_fails_at_once():
    other = asyncio.new_event_loop()
    try:
        with pytest.raises(RuntimeError, match="attached to a different loop"):
            await asyncio.wait_for(AsyncRateLimiter(sec=HUGE)(other.create_future)(), 10)
    finally:
        other.close()
