"""Decorated plain functions of AsyncRateLimiter run on threads of their own,
never on the executor's workers: a function that blocks holds up no
limiter's admission, one that waits on another limited coroutine completes,
and the extra threads end after idling. The function sees a copy of the
caller's contextvars context.
"""

import asyncio
import contextvars
import threading
import time

from async_helpers import asyncio_test, script_report, usable_processors
from quellgate import AsyncRateLimiter

HUGE = 2**62
PROCESSORS = usable_processors()
request_id = contextvars.ContextVar("request_id", default="unset")


async def until(condition, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "gave up waiting"
        await asyncio.sleep(0.01)


@asyncio_test()
async def test_blocking_calls_hold_up_no_other_limiters_admission():
    started = []
    release = threading.Event()

    @AsyncRateLimiter(sec=HUGE)
    def blocking(i):
        started.append(i)
        release.wait(30)
        return i

    calls = [asyncio.ensure_future(blocking(i)) for i in range(PROCESSORS + 2)]
    try:
        await until(lambda: len(started) == len(calls))
        began = time.monotonic()
        assert await AsyncRateLimiter(sec=1000).acquire() == ()
        # Loose: a stall would last until release (30 s); the round trip is
        # well under a millisecond when nothing holds the workers.
        assert time.monotonic() - began < 5.0
    finally:
        release.set()
    assert sorted(await asyncio.gather(*calls)) == list(range(len(calls)))


@asyncio_test(timeout=90.0)
async def test_functions_that_wait_on_another_limited_coroutine_complete():
    loop = asyncio.get_running_loop()
    limiter = AsyncRateLimiter(sec=HUGE)

    @limiter
    async def inner(i):
        return i * 10

    async def on_the_loop(i):
        return await inner(i)

    @limiter
    def outer(i):
        # Blocks its thread until the loop ran another limited call: with
        # these on the workers, every worker waited here and nothing ran.
        return asyncio.run_coroutine_threadsafe(on_the_loop(i), loop).result(timeout=30)

    count = 2 * PROCESSORS + 2
    assert await asyncio.gather(*(outer(i) for i in range(count))) == [i * 10 for i in range(count)]


@asyncio_test()
async def test_the_function_runs_in_a_copy_of_the_callers_context():
    seen = []

    @AsyncRateLimiter(sec=HUGE)
    def plain():
        seen.append(request_id.get())
        request_id.set("set inside")
        return request_id.get()

    async def caller(name):
        request_id.set(name)
        assert await plain() == "set inside"
        return request_id.get()  # what the function set stayed in its copy

    assert await asyncio.gather(caller("a"), caller("b")) == ["a", "b"]
    assert sorted(seen) == ["a", "b"]
    assert request_id.get() == "unset"


@asyncio_test()
async def test_cancelling_a_running_call_keeps_its_permit_until_it_returns():
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1, blocking=False)
    started, release, returned = threading.Event(), threading.Event(), threading.Event()

    @limiter
    def blocking():
        started.set()
        release.wait(30)
        returned.set()

    call = blocking()
    await until(started.is_set)
    call.cancel()
    await asyncio.sleep(0.05)
    assert await limiter.acquire() is None  # still held by the running call
    release.set()
    await until(returned.is_set)
    for _ in range(2000):
        if await limiter.acquire() is not None:
            break
        await asyncio.sleep(0.01)
    else:
        raise AssertionError("the permit never came back")


COUNT_THREADS = """
import asyncio, json, threading, quellgate

def workers():
    return thread_names().count("osken-runtime-w")

def settle(expected):
    deadline = time.monotonic() + 20
    while workers() != expected and time.monotonic() < deadline:
        time.sleep(0.02)
    return workers()
"""


def test_threads_start_on_demand_are_reused_and_end_after_idling():
    report = script_report(
        COUNT_THREADS,
        """
        processors = usable_processors()
        limiter = quellgate.AsyncRateLimiter(sec=10**9)

        async def coroutine():
            return 1

        started, release = [], threading.Event()
        blocking = limiter(lambda: (started.append(1), release.wait(20)))
        quick = limiter(lambda: 2)

        async def main():
            await limiter.acquire()
            await limiter(coroutine)()
            only_workers = settle(processors)
            # Three calls blocked at once, each on a thread of its own.
            calls = [asyncio.ensure_future(blocking()) for _ in range(3)]
            while len(started) < 3:
                await asyncio.sleep(0.01)
            busy = workers()
            release.set()
            await asyncio.gather(*calls)
            # Idle threads serve calls one after another: a thread started
            # per call would show here, as they idle 300 ms before ending.
            for _ in range(20):
                await quick()
            reused = workers()
            return only_workers, busy, reused

        only_workers, busy, reused = asyncio.run(main())
        print(json.dumps({"processors": processors, "only_workers": only_workers, "busy": busy,
                          "reused": reused, "after_idling": settle(processors)}))
        """,
        env_update={"OSKEN_BLOCKING_IDLE_MS": "300"},
    )
    processors = report["processors"]
    assert report["only_workers"] == processors
    assert report["busy"] == processors + 3
    assert report["reused"] <= processors + 3
    assert report["after_idling"] == processors


def test_blocking_threads_that_end_free_their_thread_states():
    before, after = script_report(
        """
        import asyncio, ctypes, json, quellgate
        api = ctypes.pythonapi
        api.PyInterpreterState_Head.restype = api.PyInterpreterState_ThreadHead.restype = ctypes.c_void_p
        api.PyThreadState_Next.restype = ctypes.c_void_p
        api.PyInterpreterState_ThreadHead.argtypes = api.PyThreadState_Next.argtypes = [ctypes.c_void_p]
        def thread_states():
            count, state = 0, api.PyInterpreterState_ThreadHead(api.PyInterpreterState_Head())
            while state:
                count, state = count + 1, api.PyThreadState_Next(state)
            return count
        quick = quellgate.AsyncRateLimiter(sec=10**9)(lambda: 1)
        async def calls(count):  # each on a fresh thread, the last one's having idled 1 ms
            for _ in range(count):
                await quick()
                await asyncio.sleep(0.03)
            while thread_names().count("osken-runtime-w") > 1:  # blocking threads share the worker's name
                await asyncio.sleep(0.01)
        asyncio.run(calls(2))
        before = thread_states()
        asyncio.run(calls(20))
        print(json.dumps([before, thread_states()]))
        """,
        env_update={"OSKEN_BLOCKING_IDLE_MS": "1", "OSKEN_WORKER_THREADS": "1"},
    )
    assert after == before
