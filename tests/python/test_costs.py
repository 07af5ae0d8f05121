"""acquire(cost, timeout) and reserve() on both classes: costs counted in
every window or none, waits bounded by a timeout, and reservations settled
in the windows still current."""
import asyncio
import math
import time

import pytest

import quellgate

# Windows that never roll over during a test.
NEVER = 2**40


def call(limiter, name, *args, **kwargs):
    """limiter.name(...), awaited on a loop of its own for AsyncRateLimiter."""
    if isinstance(limiter, quellgate.RateLimiter):
        return getattr(limiter, name)(*args, **kwargs)

    async def awaited():
        return await getattr(limiter, name)(*args, **kwargs)

    return asyncio.run(awaited())


def reserve_block(limiter, cost, actual=None, **kwargs):
    """Enters and leaves reserve(cost), settling `actual` inside; the reservation."""
    if isinstance(limiter, quellgate.RateLimiter):
        with limiter.reserve(cost, **kwargs) as reservation:
            if actual is not None:
                reservation.settle(actual)
        return reservation

    async def block():
        async with limiter.reserve(cost, **kwargs) as reservation:
            if actual is not None:
                reservation.settle(actual)
        return reservation

    return asyncio.run(block())


def admitted(limiter, outcome):
    return outcome is True if isinstance(limiter, quellgate.RateLimiter) else outcome == ()


def test_a_cost_counts_in_every_window_or_in_none(limiter_class):
    limiter = limiter_class(sec=5, sec_window=NEVER, min=6, min_window=NEVER, blocking=False)
    assert admitted(limiter, call(limiter, "acquire", 4))
    assert not admitted(limiter, call(limiter, "acquire", cost=2))
    assert call(limiter, "get_remaining") == {"second": 1, "minute": 2}
    assert admitted(limiter, call(limiter, "acquire", 1))


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        ({"cost": 7}, ValueError, "cost 7 exceeds the second window's limit of 5"),
        ({"cost": 0}, ValueError, "cost must be an int >= 1"),
        ({"cost": -3}, ValueError, "cost must be an int >= 1"),
        ({"cost": 2**70}, ValueError, "cost must be at most"),
        ({"cost": True}, TypeError, "argument 'cost': must be an int, not bool"),
        ({"cost": 1.5}, TypeError, "argument 'cost': must be an int, not float"),
        ({"timeout": -0.5}, ValueError, "timeout must be a number >= 0 or None"),
        ({"timeout": math.nan}, ValueError, "timeout must be a number >= 0 or None"),
        ({"timeout": "1"}, TypeError, "argument 'timeout': must be a real number or None, not str"),
        ({"cost": 1, "timeout": 1, "extra": 1}, TypeError, "unexpected keyword argument 'extra'"),
    ],
)
@pytest.mark.parametrize("method", ["acquire", "reserve"])
def test_arguments_are_checked_at_the_call(limiter_class, method, kwargs, error, match):
    limiter = limiter_class(sec=5)
    if method == "reserve":
        kwargs = {"cost": 1, **kwargs}

    async def on_a_loop():
        getattr(limiter, method)(**kwargs)

    with pytest.raises(error, match=match):
        asyncio.run(on_a_loop())
    assert call(limiter, "get_remaining") == {"second": 5}


@pytest.mark.parametrize(
    "blocking, timeout, waits",
    [(False, None, 0), (True, 0, 0), (False, 0.3, 0.3), (True, 0.3, 0.3)],
)
def test_a_timeout_bounds_the_wait_whatever_blocking_says(limiter_class, blocking, timeout, waits):
    limiter = limiter_class(sec=1, sec_window=NEVER, max_burst=2, blocking=blocking)
    assert admitted(limiter, call(limiter, "acquire"))
    started = time.monotonic()
    outcome = call(limiter, "acquire", timeout=timeout)
    elapsed = time.monotonic() - started
    assert outcome is (False if limiter_class is quellgate.RateLimiter else None)
    assert waits * 0.9 <= elapsed < waits + 2
    # The expired wait gave its burst permit back.
    assert call(limiter, "get_remaining")["burst"] == 1


def test_a_wait_for_a_burst_permit_ends_at_its_timeout(limiter_class):
    limiter = limiter_class(sec=100, max_burst=1)
    assert admitted(limiter, call(limiter, "acquire"))
    started = time.monotonic()
    assert not admitted(limiter, call(limiter, "acquire", 2, timeout=0.2))
    assert 0.18 <= time.monotonic() - started < 3
    call(limiter, "release")
    assert admitted(limiter, call(limiter, "acquire", 2, timeout=0.2))


def test_a_wait_within_its_timeout_is_admitted(limiter_class):
    limiter = limiter_class(sec=1, blocking=False)
    call(limiter, "acquire")
    assert admitted(limiter, call(limiter, "acquire", timeout=5))


@pytest.mark.parametrize("actual, second_left", [(None, 6), (4, 6), (1, 9), (0, 10), (15, 0)])
def test_a_reservation_settles_its_real_cost(limiter_class, actual, second_left):
    limiter = limiter_class(sec=10, sec_window=NEVER, min=100, max_burst=1)
    reservation = reserve_block(limiter, 4, actual)
    remaining = call(limiter, "get_remaining")
    assert remaining["second"] == second_left
    assert remaining["burst"] == 1
    with pytest.raises(RuntimeError, match="after the reservation's block ended"):
        reservation.settle(2)


def test_a_reservation_keeps_the_last_settlement_and_holds_one_permit(limiter_class):
    limiter = limiter_class(sec=10, sec_window=NEVER, max_burst=2)
    seen = []

    def inside(reservation):
        reservation.settle(9)
        reservation.settle(2)
        with pytest.raises(ValueError, match="actual must be an int >= 0"):
            reservation.settle(-1)
        seen.append(limiter.get_remaining() if isinstance(limiter, quellgate.RateLimiter) else None)

    if isinstance(limiter, quellgate.RateLimiter):
        with limiter.reserve(5) as reservation:
            inside(reservation)
        assert seen == [{"second": 5, "burst": 1}]
    else:

        async def block():
            async with limiter.reserve(5) as reservation:
                inside(reservation)
                seen.append(await limiter.get_remaining())

        asyncio.run(block())
        assert seen[1] == {"second": 5, "burst": 1}
    assert call(limiter, "get_remaining") == {"second": 8, "burst": 2}


def test_a_refused_reservation_raises_and_settles_nothing(limiter_class):
    limiter = limiter_class(sec=3, sec_window=NEVER, blocking=False)
    call(limiter, "acquire", 2)
    with pytest.raises(ValueError, match="Failed to acquire permit"):
        reserve_block(limiter, 2, actual=0)
    with pytest.raises(ValueError, match="Failed to acquire permit"):
        reserve_block(limiter, 2, actual=0, timeout=0.05)
    assert call(limiter, "get_remaining") == {"second": 1}
