"""A decorated function passes for the one it wraps: frameworks register it by
name, read its signature, bind it as a method and ask whether to await it."""

import asyncio
import functools
import gc
import inspect
import subprocess
import sys
import weakref

import pytest

from async_helpers import asyncio_test
from quellgate import AsyncRateLimiter, RateLimiter

HUGE = 2**62
LIMITERS = [RateLimiter, AsyncRateLimiter]


def view(page: int, *, lang: str = "en") -> str:
    """Shows one page."""
    return "%d/%s" % (page, lang)


async def coroutine_function():
    pass


@pytest.mark.parametrize("limiter_class", LIMITERS)
def test_the_wrapper_carries_the_functions_identity_and_signature(limiter_class):
    limiter = limiter_class(sec=HUGE)
    wrapper = limiter(view)
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__, wrapper.__doc__, wrapper.__wrapped__) == (
        "view", "view", __name__, "Shows one page.", view)
    assert inspect.signature(wrapper) == inspect.signature(view)
    # Flask keys its views by __name__: two decorated views must not collide.
    assert limiter(coroutine_function).__name__ == "coroutine_function"
    outer = functools.wraps(wrapper)(lambda *args, **kwargs: wrapper(*args, **kwargs))
    assert outer.__name__ == "view" and inspect.signature(outer) == inspect.signature(view)
    view.route = "/pages"  # the wrapped callable's attributes are copied, and can be set
    wrapper = limiter(view)
    wrapper.methods = ["GET"]
    assert (wrapper.route, wrapper.methods) == ("/pages", ["GET"])
    del view.route
    # Collectable, weakly referable, and its class visited once: a class visited
    # twice in a traversal would be over-counted by the collector.
    assert sum(referent is type(wrapper) for referent in gc.get_referents(wrapper)) == 1
    ref = weakref.ref(wrapper)
    del wrapper, outer
    gc.collect()
    assert ref() is None
    with pytest.raises(TypeError, match="decorating a function"):
        type(limiter(view))()


@asyncio_test()
async def test_a_decorated_method_binds_like_a_function():
    class Pages:
        @RateLimiter(sec=HUGE)
        def show(self, page):
            return (self, page)

        @classmethod
        @RateLimiter(sec=HUGE)
        def build(cls, page):
            return (cls, page)

        @AsyncRateLimiter(sec=HUGE)
        async def fetch(self, page):
            return (self, page)

    pages = Pages()
    assert (pages.show(1), Pages.show(pages, 2), pages.build(3)) == ((pages, 1), (pages, 2), (Pages, 3))
    assert await pages.fetch(4) == (pages, 4) and asyncio.iscoroutinefunction(pages.fetch)
    assert list(inspect.signature(pages.show).parameters) == ["page"]


@pytest.mark.parametrize(
    "limiter_class, func, awaited",
    [
        (RateLimiter, coroutine_function, True),  # its calls give the coroutine
        (RateLimiter, view, False),
        (AsyncRateLimiter, coroutine_function, True),
        (AsyncRateLimiter, view, True),  # its calls give a Future
    ],
)
def test_a_wrapper_counts_as_a_coroutine_function_when_its_calls_must_be_awaited(limiter_class, func, awaited):
    wrapper = limiter_class(sec=HUGE)(func)
    assert asyncio.iscoroutinefunction(wrapper) is awaited
    if sys.version_info >= (3, 12):  # inspect recognises marks from 3.12
        assert inspect.iscoroutinefunction(wrapper) is awaited


def test_decorating_imports_nothing_and_still_recognises_an_async_def():
    script = """if 1:
        import sys, quellgate
        limiter = quellgate.RateLimiter(sec=2**62)
        wrappers = [limiter(lambda: None)]
        assert "asyncio" not in sys.modules and "inspect" not in sys.modules
        async def f(): pass
        wrappers.append(limiter(f))  # marked for asyncio, which it then loads
        import asyncio
        print([asyncio.iscoroutinefunction(wrapper) for wrapper in wrappers])
    """
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout.strip()) == (0, "[False, True]"), result.stderr
