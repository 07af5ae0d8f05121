"""Cycles through decorator wrappers are collected: the wrapper's state is
visible to the cyclic garbage collector, and a wrapper whose state the
collector cleared fails cleanly instead of crashing.
"""

import asyncio
import ctypes
import gc
import weakref

import pytest

from async_helpers import asyncio_test
from quellgate import AsyncRateLimiter, RateLimiter

HUGE = 2**62
INSTANCES = 3000
LIMITERS = [RateLimiter, AsyncRateLimiter]


class Client:
    """The usual way to limit a method: the instance refers to its wrapper,
    the wrapper to the bound method, the bound method to the instance."""

    def __init__(self, limiter):
        self.get = limiter(self._get)
        self.payload = bytearray(1024)

    def _get(self):
        return self


def self_referencing(limiter):
    @limiter
    def fetch():
        return fetch  # its own decorated name: a cycle through a closure cell

    return fetch


def live_after_collection(make, count):
    """How many of `count` objects survive a collection once dropped, and how
    many objects the collector tracks beyond those before."""
    gc.collect()
    objects_before = len(gc.get_objects())
    refs = [weakref.ref(make()) for _ in range(count)]
    gc.collect()
    alive = sum(ref() is not None for ref in refs)
    del refs
    gc.collect()
    return alive, len(gc.get_objects()) - objects_before


@pytest.mark.parametrize("limiter_class", LIMITERS)
def test_instances_that_hold_their_own_wrapper_are_collected(limiter_class):
    limiter = limiter_class(sec=HUGE)
    alive, grown = live_after_collection(lambda: Client(limiter), INSTANCES)
    assert alive == 0
    assert grown < 100, grown


@pytest.mark.parametrize("limiter_class", LIMITERS)
def test_functions_that_refer_to_their_own_wrapper_are_collected(limiter_class):
    limiter = limiter_class(sec=HUGE)
    alive, grown = live_after_collection(lambda: self_referencing(limiter), INSTANCES)
    assert alive == 0
    assert grown < 100, grown


@asyncio_test()
async def test_an_async_client_works_until_collected():
    client = Client(AsyncRateLimiter(sec=HUGE))
    assert await client.get() is client
    ref = weakref.ref(client)
    del client
    # The job lets go of its references on a worker just after delivering;
    # the module releases them at its next entry.
    for _ in range(500):
        RateLimiter(sec=1)
        gc.collect()
        if ref() is None:
            break
        await asyncio.sleep(0.01)
    assert ref() is None


PY_TP_CLEAR = 51  # the slot number of tp_clear in typeslots.h, stable since 3.2


def clear_like_the_collector(wrapper):
    """Calls the wrapper's tp_clear, as a collection of a cycle would."""
    state = wrapper
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(state), PY_TP_CLEAR))
    assert clear(state) == 0


def test_a_cleared_wrapper_raises_instead_of_crashing():
    wrapper = RateLimiter(sec=HUGE)(lambda: 1)
    clear_like_the_collector(wrapper)
    clear_like_the_collector(wrapper)  # twice is harmless
    with pytest.raises(RuntimeError, match="cleared by the garbage collector"):
        wrapper()


@asyncio_test()
async def test_a_cleared_async_wrapper_raises_at_the_call():
    wrapper = AsyncRateLimiter(sec=HUGE)(lambda: 1)
    clear_like_the_collector(wrapper)
    with pytest.raises(RuntimeError, match="cleared by the garbage collector"):
        wrapper()


def test_a_waiting_call_abandoned_with_its_loop_is_collected():
    """A decorated coroutine call admitted after a wait ties its Future and its
    task to each other; a loop closed while the body still runs leaves that
    pair unreachable, and the collector must be able to free it."""
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)

    class Marker:
        pass

    @limiter
    async def body(marker):
        await asyncio.Event().wait()  # never set: the body outlives its loop

    async def start(marker):
        assert await limiter.acquire() == ()  # the call below must wait
        pending = body(marker)
        await limiter.release()
        await asyncio.sleep(0.3)  # admitted, its task started
        assert not pending.done()
        return pending

    marker = Marker()
    watched = weakref.ref(marker)
    loop = asyncio.new_event_loop()
    try:
        pending = loop.run_until_complete(start(marker))
    finally:
        loop.close()
    del marker, pending
    gc.collect()
    assert watched() is None
