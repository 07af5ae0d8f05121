"""limiter[key]: a view with windows and burst permits of the key's own, in the process."""
import asyncio
import threading

import pytest

import quellgate

NEVER = 2**40  # a window longer than the epoch is old: it never rolls over in a test


async def settled(value):
    """What a call gave: awaited when it is a Future (AsyncRateLimiter)."""
    return (await value) if isinstance(value, asyncio.Future) else value


async def admit(limiter):
    result = limiter.acquire()
    return (await result) is not None if isinstance(result, asyncio.Future) else result


@pytest.mark.parametrize(
    "key, error",
    [(1, TypeError), (b"k", TypeError), ("", ValueError), ("x" * 257, ValueError), ("\u00e9" * 129, ValueError),
     ("\ud800", ValueError), ("x" * 256, None), ("\u00e9" * 128, None), ("a }:\x00", None)],
)
def test_a_key_is_a_str_of_1_to_256_utf8_bytes(limiter_class, key, error):
    limiter = limiter_class(sec=1)
    if error is None:
        view = limiter[key]
        assert type(view) is limiter_class and repr(key) in repr(view)
        with pytest.raises(TypeError, match="no further key"):
            view["again"]
    else:
        with pytest.raises(error):
            limiter[key]


def test_keys_count_apart_from_each_other_and_from_the_limiter(limiter_class):
    limiter = limiter_class(sec=2, sec_window=NEVER, blocking=False)

    async def body():
        a = [await admit(limiter["a"]) for _ in range(3)]
        remaining = [await settled(view.get_remaining()) for view in (limiter, limiter["a"])]
        return a, await admit(limiter["b"]), remaining

    assert asyncio.run(body()) == ([True, True, False], True, [{"second": 2}, {"second": 0}])


def test_each_key_has_its_own_burst_permits_and_views_are_interchangeable(limiter_class):
    limiter = limiter_class(sec=100, sec_window=NEVER, max_burst=1, blocking=False)

    async def body():
        taken = [await admit(limiter["a"]), await admit(limiter["a"]), await admit(limiter["b"])]
        await settled(limiter["a"].release())
        return taken, await admit(limiter["a"]), await settled(limiter.get_remaining())

    assert asyncio.run(body()) == ([True, False, True], True, {"second": 100, "burst": 1})


def test_a_view_keeps_every_protocol():
    limiter = quellgate.RateLimiter(sec=10, sec_window=NEVER, max_burst=1)
    view = limiter["k"]
    with view:
        assert view.get_remaining() == {"second": 9, "burst": 0}
    assert view(lambda x: x * 2)(21) == 42
    assert view.get_remaining() == {"second": 8, "burst": 1}
    assert limiter.get_remaining() == {"second": 10, "burst": 1}

    async def body():
        limiter = quellgate.AsyncRateLimiter(sec=10, sec_window=NEVER, max_burst=1)
        async with limiter["k"]:
            pass

        async def double(x):
            return x * 2

        return await limiter["k"](double)(21), await limiter["k"].get_remaining()

    assert asyncio.run(body()) == (42, {"second": 8, "burst": 1})


def test_a_wait_for_a_keys_permit_ends_when_it_comes_back():
    limiter = quellgate.RateLimiter(sec=100, sec_window=NEVER, max_burst=1)
    assert limiter["k"].acquire()
    waiter = threading.Thread(target=limiter["k"].acquire)
    waiter.start()
    waiter.join(0.1)
    assert waiter.is_alive()  # the key's permit is held; other keys are free
    assert limiter["other"].acquire()
    limiter["k"].release()
    waiter.join(30)
    assert not waiter.is_alive()

    async def body():
        limiter = quellgate.AsyncRateLimiter(sec=100, sec_window=NEVER, max_burst=1)
        await limiter["k"].acquire()
        waiting = asyncio.ensure_future(limiter["k"].acquire())
        await asyncio.sleep(0.1)
        assert not waiting.done()
        await limiter["k"].release()
        return await asyncio.wait_for(waiting, 30)

    assert asyncio.run(body()) == ()


def test_many_keys_from_many_threads_each_admit_exactly_their_limit():
    limiter = quellgate.RateLimiter(sec=2, sec_window=NEVER, blocking=False)
    admitted = []

    def run():
        admitted.append(sum(limiter["key %d" % i].acquire() for i in range(3000)))

    threads = [threading.Thread(target=run) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sum(admitted) == 2 * 3000
    assert limiter["key 7"].get_remaining() == {"second": 0} and limiter.get_remaining() == {"second": 2}
