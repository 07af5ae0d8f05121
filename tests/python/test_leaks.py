"""Nothing accumulates over many calls: references to callables and arguments, Python
objects, the interpreter's total reference count (debug interpreters only) and
resident memory all stay flat once the first calls have warmed the caches up.
"""

import asyncio
import gc
import sys
import time

import pytest

import quellgate
from stress_helpers import SANITIZER, Boom, scaled

HUGE = 2**62
# Sanitizer runtimes keep freed memory in quarantine and PYTHONMALLOC=malloc
# changes how the interpreter grows: resident memory says nothing there.
MEASURES_MEMORY = not SANITIZER and sys.platform.startswith("linux")


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS in /proc/self/status")


def refcounts(watched):
    return [sys.getrefcount(item) for item in watched]


class Footprint:
    """What a leak would make grow, taken after a full collection."""

    def __init__(self, watched):
        gc.collect()
        self.refcounts = refcounts(watched)
        self.objects = len(gc.get_objects())
        self.total_refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
        self.rss_kib = resident_kib() if MEASURES_MEMORY else None


def assert_no_growth(before, after, calls, rss_kib_bound):
    """Flat within noise: a leak of even one reference or object per call is far beyond these bounds."""
    # Not equality: the first footprint may still count a reference that a
    # callback scheduled on the loop held for a moment.
    assert all(now <= then for now, then in zip(after.refcounts, before.refcounts)), (
        "references to watched objects grew over %d calls: %s -> %s" % (calls, before.refcounts, after.refcounts))
    assert after.objects - before.objects < 500, (before.objects, after.objects)
    if before.total_refs is not None:
        assert after.total_refs - before.total_refs < 1000, (before.total_refs, after.total_refs)
    if before.rss_kib is not None:
        assert after.rss_kib - before.rss_kib < rss_kib_bound, (before.rss_kib, after.rss_kib)


def warmed_up_then_measured(run, calls, watched, rss_kib_bound):
    """run(n) makes n calls: a fifth of them first to warm up, then the rest between two footprints."""
    warm_up = calls // 5
    run(warm_up)
    before = Footprint(watched)
    run(calls - warm_up)
    assert_no_growth(before, Footprint(watched), calls - warm_up, rss_kib_bound)


def test_a_million_cheap_admissions_and_refusals_leave_nothing_behind():
    admitting = quellgate.RateLimiter(sec=HUGE, min=HUGE, hour=HUGE, day=HUGE, blocking=False, max_burst=2)
    refusing = quellgate.RateLimiter(hour=1, blocking=False, max_burst=1)
    refusing.acquire()

    def run(count):
        for index in range(count // 10):
            for _ in range(9):
                admitting.acquire()
                admitting.release()
            refusing.acquire()  # an hour window that stays full
            if index % 10 == 0:
                admitting.get_remaining()
                refusing.wait_time()

    warmed_up_then_measured(run, scaled(1000000, 100000), [admitting, refusing], rss_kib_bound=8 * 1024)
    assert admitting.get_remaining()["burst"] == 2


def test_a_hundred_thousand_decorated_calls_release_functions_arguments_and_results():
    limiter = quellgate.RateLimiter(sec=HUGE, blocking=False, max_burst=4)
    argument, keyword_value, result = object(), object(), object()

    def body(positional, keyword=None, fail=False):
        assert positional is argument and keyword is keyword_value
        if fail:
            raise Boom()
        return result

    wrapper = limiter(body)

    def run(count):
        for index in range(count // 2):
            assert wrapper(argument, keyword=keyword_value) is result
            try:
                wrapper(argument, keyword=keyword_value, fail=True)
            except Boom:
                pass
            if index % 16 == 0:
                try:
                    with limiter:
                        raise Boom()
                except Boom:
                    pass

    warmed_up_then_measured(run, scaled(100000, 20000), [body, wrapper, argument, keyword_value, result, Boom],
                            rss_kib_bound=4 * 1024)
    assert limiter.get_remaining()["burst"] == 4


async def settled_refcounts(limiter, watched, expected, timeout=15.0):
    """Waits until no watched count is above `expected`: jobs drop their last references on worker
    threads, released at the next entry into the module."""
    give_up = time.monotonic() + timeout
    while True:
        await limiter.get_remaining()
        gc.collect()
        now = refcounts(watched)
        settled = expected is not None and all(count <= bound for count, bound in zip(now, expected))
        if settled or time.monotonic() > give_up:
            return now
        await asyncio.sleep(0.02)


async def footprint_once_settled(limiter, watched, settled, timeout=15.0):
    """The first footprint whose reference counts satisfy `settled`, or the last one taken at the
    timeout: cancelled jobs end on worker threads a little after their Futures, and the references
    they drop are released at the next entry into the module."""
    give_up = time.monotonic() + timeout
    while True:
        await limiter.get_remaining()
        # Always counted in a step that a bare yield resumed: the loop holds the
        # Future that woke the running step (that of a sleep, say) until the step
        # ends, and that Future holds the loop.
        await asyncio.sleep(0)
        footprint = Footprint(watched)
        if settled(footprint.refcounts) or time.monotonic() > give_up:
            return footprint
        await asyncio.sleep(0.02)


def run_async(coroutine, timeout=300):
    return asyncio.run(asyncio.wait_for(coroutine, timeout))


def test_a_hundred_thousand_async_decorated_calls_release_everything_they_held():
    limiter = quellgate.AsyncRateLimiter(sec=HUGE, max_burst=1000)
    argument, keyword_value, result = object(), object(), object()

    @limiter
    async def coroutine_body(positional, keyword=None, fail=False):
        if fail:
            raise Boom()
        return result

    @limiter
    def plain_body(positional, keyword=None, fail=False):
        if fail:
            raise Boom()
        return result

    watched = [coroutine_body, plain_body, argument, keyword_value, result, Boom]

    async def batch(count):
        calls = []
        for index in range(count):
            body = coroutine_body if index % 2 else plain_body
            calls.append(body(argument, keyword=keyword_value, fail=index % 4 >= 2))
        outcomes = await asyncio.gather(*calls, return_exceptions=True)
        assert sum(1 for outcome in outcomes if outcome is result) == count // 2
        assert sum(1 for outcome in outcomes if type(outcome) is Boom) == count // 2

    async def measure(calls):
        batch_size = 500
        for _ in range(calls // 5 // batch_size):
            await batch(batch_size)
        baseline = await settled_refcounts(limiter, watched, None, timeout=0)
        before = Footprint(watched)
        for _ in range(calls * 4 // 5 // batch_size):
            await batch(batch_size)
        await settled_refcounts(limiter, watched, baseline)
        assert_no_growth(before, Footprint(watched), calls * 4 // 5, rss_kib_bound=16 * 1024)
        assert (await limiter.get_remaining())["burst"] == 1000

    run_async(measure(scaled(100000, 10000)))


def test_ten_thousand_cancelled_waits_give_back_permits_and_references():
    full_window = quellgate.AsyncRateLimiter(hour=1, max_burst=HUGE)
    no_permit = quellgate.AsyncRateLimiter(sec=HUGE, max_burst=1)
    argument = object()

    @full_window
    async def never_admitted(positional):
        raise AssertionError("admitted into a full hour window")

    async def batch(count):
        # Window waits holding a permit, burst waits holding none, decorated calls waiting to be admitted.
        waiting = [full_window.acquire() for _ in range(count // 2)]
        waiting += [no_permit.acquire() for _ in range(count // 4)]
        waiting += [never_admitted(argument) for _ in range(count - len(waiting))]
        await asyncio.sleep(0.02)  # let the jobs reach their sleeps
        for future in waiting:
            future.cancel()
        await asyncio.sleep(0)
        assert all(future.cancelled() for future in waiting)

    async def measure(waits):
        assert await full_window.acquire() == () and await full_window.release() == ()
        assert await no_permit.acquire() == ()
        loop = asyncio.get_running_loop()
        watched = [never_admitted, argument, loop, full_window, no_permit]
        batch_size = 1000
        untouched = Footprint(watched)
        await batch(batch_size)
        # The calls here decide on the loop's thread at once, without waiting
        # behind the workers that end the cancelled jobs: the first footprint
        # waits until the warm-up's decorated calls have let go of the argument,
        # and the last until nothing is above the first.
        argument_at = watched.index(argument)
        before = await footprint_once_settled(
            full_window, watched, lambda counts: counts[argument_at] <= untouched.refcounts[argument_at])
        for _ in range(waits // batch_size - 1):
            await batch(batch_size)
        after = await footprint_once_settled(
            full_window, watched, lambda counts: all(now <= then for now, then in zip(counts, before.refcounts)))
        assert_no_growth(before, after, waits, rss_kib_bound=16 * 1024)
        # Each cancelled window wait gave its permit back; the burst wait never had one.
        report = await full_window.get_remaining()
        deadline = time.monotonic() + 15
        while report["burst"] != HUGE and time.monotonic() < deadline:
            await asyncio.sleep(0.02)
            report = await full_window.get_remaining()
        assert report == {"hour": 0, "burst": HUGE}
        assert (await no_permit.get_remaining())["burst"] == 0
        assert await no_permit.release() == ()

    run_async(measure(scaled(10000, 2000)))


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
def test_debug_interpreter_counts_every_reference_the_module_takes_and_drops():
    # On a debug build the module's own increments and decrements are counted
    # too, so a balanced module leaves the interpreter's total where it was.
    limiter = quellgate.RateLimiter(sec=HUGE, max_burst=3)
    wrapper = limiter(lambda value: [value])
    for _ in range(100):
        wrapper(1)
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(10000):
        wrapper(1)
        limiter.get_remaining()
    gc.collect()
    assert sys.gettotalrefcount() - before < 100
