"""Limiters shared through a Redis server: what a caller of
shared(..., storage=...) sees, across processes, outages and kills."""

import asyncio
import multiprocessing
import os
import signal
import threading
import time

import pytest

import quellgate
from helpers import linux_only_module
from quellgate import AsyncRateLimiter, RateLimiter

linux_only_module("the Redis store (Windows builds have none)")

# Longer than the epoch is old: one window that never rolls over.
NEVER_ROLLS_OVER = 2**40


def fixed(cls, name, url, limit, **keywords):
    """A limiter of `limit` places in a window that never rolls over."""
    return cls.shared(name, sec=limit, sec_window=NEVER_ROLLS_OVER, storage=url, **keywords)


def take_all(cls_name, name, url, tries):
    if cls_name == "RateLimiter":
        limiter = fixed(RateLimiter, name, url, 50, blocking=False)
        return sum(limiter.acquire() for _ in range(tries))

    async def tasks():
        limiter = fixed(AsyncRateLimiter, name, url, 50, blocking=False)
        outcomes = await asyncio.gather(*[limiter.acquire() for _ in range(tries)])
        return sum(outcome is not None for outcome in outcomes)

    return asyncio.run(tasks())


@pytest.mark.parametrize("cls_name", ["RateLimiter", "AsyncRateLimiter"])
def test_processes_share_one_limit_exactly(redis_server, name, cls_name):
    with multiprocessing.get_context("spawn").Pool(3) as pool:
        admitted = pool.starmap(take_all, [(cls_name, name, redis_server.url, 40)] * 3)
    assert sum(admitted) == 50
    assert fixed(RateLimiter, name, redis_server.url, 50).get_remaining() == {"second": 0}


def test_an_admission_counts_in_every_window_or_in_none(redis_server, name):
    limiter = RateLimiter.shared(
        name, sec=5, sec_window=NEVER_ROLLS_OVER, min=2, min_window=NEVER_ROLLS_OVER, blocking=False,
        storage=redis_server.url,
    )
    assert [limiter.acquire() for _ in range(4)] == [True, True, False, False]
    assert limiter.get_remaining() == {"second": 3, "minute": 0}
    assert limiter.wait_time() > 1e9
    quellgate.remove_shared(name, storage=redis_server.url)
    assert limiter.get_remaining() == {"second": 5, "minute": 2}


@pytest.mark.parametrize(
    "keywords, message",
    [({"sec": 6}, r"exists with second=10/1s, which differs from the second=6/1s asked for"),
     ({"sec": 10, "max_burst": 3}, "max_burst=3")],
)
def test_another_configuration_at_the_name_is_refused_naming_both(redis_server, name, keywords, message):
    RateLimiter.shared(name, sec=10, storage=redis_server.url).acquire()
    with pytest.raises(ValueError, match=message):
        AsyncRateLimiter.shared(name, storage=redis_server.url, **keywords)


@pytest.mark.parametrize(
    "keywords, exception, message",
    [
        ({"storage": "rediss://localhost?ssl_cert_reqs=optional"}, ValueError, "ssl_cert_reqs .optional."),
        ({"storage": "redis://localhost:99999"}, ValueError, "port '99999'"),
        ({"storage": "http://localhost"}, ValueError, "scheme 'http'"),
        ({"storage": 6379}, TypeError, "storage must be None or a URL"),
        ({"storage": "redis://localhost", "storage_timeout": 0}, ValueError, "storage_timeout must be .* above 0"),
        ({"storage": "redis://localhost", "lease": "30"}, TypeError, "lease must be a number"),
        ({"storage": "redis://localhost", "on_storage_error": "ignore"}, ValueError, '"raise" or "allow"'),
        ({"storage": "redis://localhost", "mode": 0o644}, ValueError, "mode applies to shared memory only"),
        ({"lease": 5}, ValueError, "lease applies only with storage"),
    ],
)
def test_bad_storage_arguments_say_what_is_wrong(keywords, exception, message):
    with pytest.raises(exception, match=message):
        RateLimiter.shared("qgtest.bad", sec=1, **keywords)


def test_a_server_nobody_listens_on_raises_storage_error_unless_allowed(redis_server):
    url = "redis://127.0.0.1:%d" % redis_server.port
    down = url.rsplit(":", 1)[0] + ":1"
    with pytest.raises(quellgate.StorageError, match="127.0.0.1:1.*refused"):
        RateLimiter.shared("qgtest.down", sec=1, storage=down, storage_timeout=0.2)
    assert issubclass(quellgate.StorageError, ConnectionError)
    allowed = RateLimiter.shared("qgtest.down", sec=1, storage=down, storage_timeout=0.2, on_storage_error="allow")
    assert [allowed.acquire() for _ in range(3)] == [True] * 3


async def acquire_async(limiter):
    return await limiter.acquire()


@pytest.mark.parametrize("outage", [signal.SIGKILL, signal.SIGSTOP])
def test_an_outage_raises_within_the_timeout_and_the_same_limiter_recovers(redis_server, name, outage):
    # Bounds loose enough for a busy machine: a call bounded by the timeout
    # ends well within 1 + 2 s, and a wait that held the GIL would stall
    # this thread for the whole 1 s timeout, not 0.6 s.
    sync = fixed(RateLimiter, name, redis_server.url, 100, storage_timeout=1)
    tasks = fixed(AsyncRateLimiter, name, redis_server.url, 100, storage_timeout=1)
    assert sync.acquire()
    if outage == signal.SIGKILL:
        redis_server.stop()
    else:
        os.kill(redis_server.process.pid, signal.SIGSTOP)
    try:
        for call in (sync.acquire, lambda: asyncio.run(acquire_async(tasks))):
            # The GIL is free while the call waits on the server: this thread never stalls for long.
            waiting = threading.Thread(target=lambda: pytest.raises(quellgate.StorageError, call))
            started = last = time.monotonic()
            longest_stall = 0
            waiting.start()
            while waiting.is_alive():
                now = time.monotonic()
                longest_stall, last = max(longest_stall, now - last), now
            assert last - started < 1 + 2
            assert longest_stall < 0.6
            with pytest.raises(quellgate.StorageError, match=str(redis_server.port)):
                call()
    finally:
        if outage == signal.SIGKILL:
            redis_server.start()
        else:
            os.kill(redis_server.process.pid, signal.SIGCONT)
    assert sync.acquire()
    assert asyncio.run(acquire_async(tasks)) == ()


def test_a_cancelled_asyncio_admission_gives_its_lease_back(redis_server, name):
    async def cancel_in_flight():
        limiter = fixed(AsyncRateLimiter, name, redis_server.url, 1000, max_burst=1)
        for attempt in range(30):
            admission = limiter.acquire()
            # Cancelled ever later, so that some reach the server first.
            until = time.perf_counter() + attempt * 1e-4
            while time.perf_counter() < until:
                pass
            admission.cancel()
        await asyncio.sleep(0.3)  # for the answers to come back
        return await limiter.get_remaining()

    remaining = asyncio.run(cancel_in_flight())
    assert remaining["second"] < 1000, "no cancelled admission reached the server"
    assert remaining["burst"] == 1


def hold_and_die(name, url, ready):
    limiter = fixed(RateLimiter, name, url, 1000, max_burst=1, lease=1)
    limiter.acquire()
    ready.set()
    time.sleep(60)


def test_a_killed_holders_permit_comes_back_after_its_lease(redis_server, name):
    context = multiprocessing.get_context("spawn")
    ready = context.Event()
    holder = context.Process(target=hold_and_die, args=(name, redis_server.url, ready))
    holder.start()
    assert ready.wait(30)
    limiter = fixed(RateLimiter, name, redis_server.url, 1000, max_burst=1, lease=1, blocking=False)
    time.sleep(1.5)  # renewed meanwhile: the holder is alive
    assert not limiter.acquire()
    os.kill(holder.pid, signal.SIGKILL)
    holder.join()
    started = time.monotonic()
    while not limiter.acquire():
        assert time.monotonic() - started < 1 + 4  # the lease, and room for a busy machine
        time.sleep(0.05)
