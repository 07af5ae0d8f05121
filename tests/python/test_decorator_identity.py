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


def other_view() -> None:
    """Another endpoint."""


@pytest.mark.parametrize("limiter_class", LIMITERS)
def test_the_wrapper_carries_the_functions_identity_and_signature(limiter_class):
    limiter = limiter_class(sec=HUGE)
    wrapper = limiter(view)
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__, wrapper.__doc__) == (
        "view", "view", __name__, "Shows one page.")
    assert wrapper.__wrapped__ is view
    assert inspect.signature(wrapper) == inspect.signature(view)
    # Flask keys its views by __name__: two decorated views must not collide.
    assert {limiter(f).__name__ for f in (view, other_view)} == {"view", "other_view"}
    # Decorators stacked on top copy it in turn; attributes can be set on it.
    outer = functools.wraps(wrapper)(lambda *args, **kwargs: wrapper(*args, **kwargs))
    assert outer.__name__ == "view" and inspect.signature(outer) == inspect.signature(view)
    wrapper.methods = ["GET"]
    assert wrapper.methods == ["GET"]
    tagged = lambda: None  # noqa: E731
    tagged.route = "/pages"
    assert limiter(tagged).route == "/pages"  # the wrapped callable's __dict__ is copied


class Pages:
    limiter = RateLimiter(sec=HUGE)

    @limiter
    def show(self, page):
        return (self, page)

    @classmethod
    @limiter
    def build(cls, page):
        return (cls, page)

    @staticmethod
    @limiter
    def plain(page):
        return page


def test_a_decorated_method_binds_like_a_function():
    pages = Pages()
    assert pages.show(1) == (pages, 1)
    assert Pages.show(pages, 2) == (pages, 2)
    assert Pages.__dict__["show"].__get__(None, Pages) is Pages.__dict__["show"]
    assert pages.build(3) == (Pages, 3) and Pages.plain(4) == 4
    assert list(inspect.signature(pages.show).parameters) == ["page"]


@asyncio_test()
async def test_a_decorated_coroutine_method_binds_and_is_awaited():
    class Client:
        @AsyncRateLimiter(sec=HUGE)
        async def fetch(self, n):
            return (self, n)

    client = Client()
    assert await client.fetch(5) == (client, 5)
    assert asyncio.iscoroutinefunction(client.fetch)


async def coroutine_function():
    pass


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


def test_an_async_def_is_recognised_without_asyncio_and_a_plain_function_imports_nothing():
    script = (
        "import sys, quellgate\n"
        "limiter = quellgate.RateLimiter(sec=2**62)\n"
        "limiter(lambda: None)\n"
        "assert 'asyncio' not in sys.modules and 'inspect' not in sys.modules\n"
        "async def f(): pass\n"
        "import asyncio\n"
        "print(asyncio.iscoroutinefunction(limiter(f)))\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout.strip()) == (0, "True"), result.stderr


@pytest.mark.parametrize("limiter_class", LIMITERS)
def test_the_wrapper_is_collectable_and_visits_its_class_once(limiter_class):
    wrapper = limiter_class(sec=HUGE)(view)
    assert gc.is_tracked(wrapper)
    # A class referred to twice in a traversal would be over-counted by the collector.
    assert sum(referent is type(wrapper) for referent in gc.get_referents(wrapper)) == 1
    ref = weakref.ref(wrapper)
    del wrapper
    gc.collect()
    assert ref() is None
    with pytest.raises(TypeError, match="decorating a function"):
        type(limiter_class(sec=HUGE)(view))()
