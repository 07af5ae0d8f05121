"""Keys, costs and reservations of limiters shared through a Redis server."""

import asyncio
import multiprocessing

import pytest

from helpers import linux_only_module
from quellgate import AsyncRateLimiter, RateLimiter

linux_only_module("the Redis store (Windows builds have none)")

NEVER_ROLLS_OVER = 2**40
ODD_KEYS = ["}", "{", ":", " ", "a}:b", "%41", "A", "\x00", "*", "caf\u00e9", "k" * 256]


def fixed(cls, name, url, limit, **keywords):
    return cls.shared(name, sec=limit, sec_window=NEVER_ROLLS_OVER, storage=url, blocking=False, **keywords)


def take_key(name, url, tries):
    limiter = fixed(RateLimiter, name, url, 5)
    return sum(limiter["user:1"].acquire() for _ in range(tries))


def test_a_key_counts_once_across_processes_and_apart_from_the_name(redis_server, name):
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        assert sum(pool.starmap(take_key, [(name, redis_server.url, 4)] * 2)) == 5
    limiter = fixed(RateLimiter, name, redis_server.url, 5)
    assert limiter["user:1"].get_remaining() == {"second": 0}
    assert limiter.get_remaining() == {"second": 5}


def test_keys_with_odd_bytes_never_share_counts(redis_server, name):
    limiter = fixed(RateLimiter, name, redis_server.url, 1)
    assert [limiter[key].acquire() for key in ODD_KEYS] == [True] * len(ODD_KEYS)
    assert [limiter[key].acquire() for key in ODD_KEYS] == [False] * len(ODD_KEYS)
    assert limiter.acquire()


def test_views_of_a_key_share_its_burst_permit(redis_server, name):
    limiter = fixed(RateLimiter, name, redis_server.url, 10, max_burst=1)
    assert limiter["k"].acquire()
    assert not limiter["k"].acquire()
    limiter["k"].release()
    assert limiter["k"].acquire()


def test_a_cost_counts_all_or_nothing(redis_server, name):
    limiter = fixed(RateLimiter, name, redis_server.url, 4)
    assert limiter["k"].acquire(cost=3)
    assert not limiter["k"].acquire(cost=2)
    assert limiter["k"].get_remaining() == {"second": 1}


@pytest.mark.parametrize("actual, remaining", [(1, 9), (12, 0), (0, 10)])
def test_a_settled_reservation_counts_its_actual_cost(redis_server, name, actual, remaining):
    limiter = fixed(RateLimiter, name, redis_server.url, 10)
    with limiter["k"].reserve(4) as reservation:
        reservation.settle(actual)
    assert limiter["k"].get_remaining() == {"second": remaining}

    async def settle_in_a_task():
        async_limiter = fixed(AsyncRateLimiter, name, redis_server.url, 10)
        async with async_limiter.reserve(2) as reservation:
            reservation.settle(1)
        return await async_limiter.get_remaining()

    assert asyncio.run(settle_in_a_task()) == {"second": 9}
