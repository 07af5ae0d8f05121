"""Contention scenarios for quellgate and the checks that judge them.

Shared by the stress tests and by bench/stress.py, so this module needs
nothing beyond the standard library and quellgate.

An admission cannot be timed exactly from Python: it happens somewhere
between the wall-clock read just before the call and the one just after it
returns. The limiter counts it in the window of some instant inside that
span (it reads the same wall clock, CLOCK_REALTIME, after the call began and
never counts into a window that has not begun). So every admission is
recorded as the span (before, after), and a window is proven over-admitted
only when no way of placing every span into one of the windows it touches
keeps every window within its limit.
"""

import asyncio
import collections
import os
import random
import threading
import time

import quellgate

SANITIZER = os.environ.get("QUELLGATE_SANITIZER", "")

# For a child that exits while other threads are still inside the interpreter:
# CPython ends those threads where they stand, freeing their thread states
# without finishing their frames, so what only those frames held is out of
# LeakSanitizer's reach at exit. That is the interpreter's way of ending, and
# the jobs of workers it ends are abandoned on purpose, so these children run
# without leak checking; every other child keeps it.
LEAKS_UNCHECKED_AT_EXIT = ({"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
                           if SANITIZER == "address" else {})


def scaled(count, under_sanitizer):
    """A repetition count, smaller when the module runs under a sanitizer (many times slower)."""
    return under_sanitizer if SANITIZER else count


class Boom(Exception):
    """Raised on purpose by decorated functions."""


class HolderGauge:
    """Counts the callers inside a held section; remembers the most at once."""

    def __init__(self):
        self._lock = threading.Lock()
        self.holding = 0
        self.peak = 0

    def enter(self):
        with self._lock:
            self.holding += 1
            self.peak = max(self.peak, self.holding)

    def leave(self):
        with self._lock:
            self.holding -= 1


class AdmissionLog:
    """(before, after) wall-clock spans of admissions, from any thread."""

    def __init__(self):
        self._lock = threading.Lock()
        self.spans = []
        self.refused = 0
        self.cancelled = 0
        self.late = 0  # results that arrived although the waiting task was cut short
        self.raised = 0
        self.fewest_left = {}  # per window, the fewest permits the limiter itself reported left

    def admitted(self, before, after):
        with self._lock:
            self.spans.append((before, after))

    def saw_remaining(self, remaining):
        with self._lock:
            for window, left in remaining.items():
                self.fewest_left[window] = min(left, self.fewest_left.get(window, left))

    def count(self, field):
        with self._lock:
            setattr(self, field, getattr(self, field) + 1)


WindowVerdict = collections.namedtuple("WindowVerdict", "length limit worst_overshoot fullest unplaced")


def judge_window(spans, length, limit):
    """Place every admission span into a window of `length` seconds it touches.

    Spans are taken by their last window, each put into the earliest touched
    window that still has room: this leaves the fewest spans without a place
    (the classic greedy for intervals and capacitated points), so an unplaced
    span proves that some window admitted more than `limit`.

    worst_overshoot: most unplaced spans ending in one window (0 when none is
    over-admitted); fullest: most admissions placed in one window, which shows
    whether the run reached the limit at all.
    """
    indexed = sorted(((int(before) // length, int(after) // length) for before, after in spans),
                     key=lambda span: (span[1], span[0]))
    placed = collections.Counter()
    unplaced = collections.Counter()
    for first, last in indexed:
        window = first
        while window <= last and placed[window] >= limit:
            window += 1
        if window <= last:
            placed[window] += 1
        else:
            unplaced[last] += 1
    return WindowVerdict(length, limit, max(unplaced.values(), default=0), max(placed.values(), default=0),
                         sum(unplaced.values()))


def judge_windows(spans, windows):
    """judge_window for every (length, limit) pair; the verdicts in the same order."""
    return [judge_window(spans, length, limit) for length, limit in windows]


def run_threads(count, target, join_timeout=120.0):
    """Run target(index) on `count` threads started together; re-raise the first failure."""
    start = threading.Barrier(count)
    errors = []

    def body(index):
        try:
            start.wait(30)
            target(index)
        except BaseException as error:  # handed to the calling thread below
            errors.append(error)

    threads = [threading.Thread(target=body, args=(index,), daemon=True) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(join_timeout)
    stuck = sum(1 for thread in threads if thread.is_alive())
    if stuck:
        raise AssertionError("%d of %d threads did not finish" % (stuck, count))
    if errors:
        raise errors[0]


# --- RateLimiter hammered by threads ---------------------------------------


def hammer_rate_limiter(limiter, seconds, threads, seed=0, fail_rate=0.2):
    """Threads take turns through acquire()/release(), `with` and a decorated function.

    Every admission is logged as a span, every holder passes the gauge, and
    one decorated call in five raises. Returns (log, gauge).
    """
    log = AdmissionLog()
    gauge = HolderGauge()
    deadline = time.time() + seconds

    def held(rng):
        gauge.enter()
        try:
            if rng.random() < 0.3:
                time.sleep(rng.uniform(0, 0.002))
        finally:
            gauge.leave()

    def decorated_body(before, rng):
        log.admitted(before, time.time())
        held(rng)
        if rng.random() < fail_rate:
            raise Boom()

    wrapper = limiter(decorated_body)

    def worker(index):
        rng = random.Random(seed * 1000 + index)
        while time.time() < deadline:
            way = rng.random()
            before = time.time()
            if way < 0.4:
                if not limiter.acquire():
                    log.count("refused")
                    continue
                log.admitted(before, time.time())
                try:
                    held(rng)
                finally:
                    limiter.release()
            elif way < 0.7:
                try:
                    with limiter:
                        log.admitted(before, time.time())
                        held(rng)
                except ValueError as error:
                    assert str(error) == "Failed to acquire permit", error
                    log.count("refused")
            else:
                try:
                    wrapper(before, rng)
                except Boom:
                    log.count("raised")
                except ValueError as error:
                    assert str(error) == "Failed to acquire permit", error
                    log.count("refused")

    run_threads(threads, worker)
    return log, gauge


# --- AsyncRateLimiter hammered by tasks on loops in several threads ---------


def landed_before_the_cut(future):
    """An acquire() Future that got its admission although its waiter was cut short."""
    if not future.done() or future.cancelled() or future.exception() is not None:
        return False
    try:
        return future.result() == ()  # None: a refusal
    except asyncio.CancelledError:  # the admission went back when the await was cut
        return True


async def _acquire_and_release(limiter, log, gauge, rng, cancel_rate):
    """acquire(), maybe cut short by a timeout or a cancel at a random moment, then release()."""
    before = time.time()
    future = limiter.acquire()
    cut = rng.random()
    try:
        if cut < cancel_rate / 2:
            result = await asyncio.wait_for(future, rng.uniform(0, 0.02))
        elif cut < cancel_rate:
            asyncio.get_running_loop().call_later(rng.uniform(0, 0.02), future.cancel)
            result = await future
        else:
            result = await future
    except (asyncio.CancelledError, asyncio.TimeoutError):
        log.count("cancelled")
        if landed_before_the_cut(future):
            # Delivered just before the cut reached this task: counted in the
            # windows, while the Future gave its burst permit back itself.
            log.count("late")
            log.admitted(before, time.time())
        return
    if result is None:
        log.count("refused")
        return
    assert result == (), result
    try:
        await _hold_for_a_moment(log, gauge, rng, before)
    finally:
        await limiter.release()


async def _hold_for_a_moment(log, gauge, rng, asked_at):
    """Log an admission asked for at `asked_at`, then hold it, counted, for up to 3 ms."""
    log.admitted(asked_at, time.time())
    gauge.enter()
    try:
        await asyncio.sleep(rng.uniform(0, 0.003))
    finally:
        gauge.leave()


async def _async_with(limiter, log, gauge, rng):
    before = time.time()
    try:
        async with limiter:
            await _hold_for_a_moment(log, gauge, rng, before)
    except ValueError as error:
        assert str(error) == "Failed to acquire permit", error
        log.count("refused")


def _decorated(limiter, log, gauge, fail_rate):
    """A coroutine function and a plain function, both rate limited, both failing at times."""

    @limiter
    async def coroutine_body(before, pause, fail):
        log.admitted(before, time.time())
        gauge.enter()
        try:
            await asyncio.sleep(pause)
        finally:
            gauge.leave()
        if fail:
            raise Boom()
        return "coroutine"

    @limiter
    def plain_body(before, fail):
        # Runs on an executor worker, still inside the admission.
        log.admitted(before, time.time())
        gauge.enter()
        gauge.leave()
        if fail:
            raise Boom()
        return "plain"

    async def call(rng):
        before = time.time()
        fail = rng.random() < fail_rate
        try:
            if rng.random() < 0.5:
                assert await coroutine_body(before, rng.uniform(0, 0.003), fail) == "coroutine"
            else:
                assert await plain_body(before, fail) == "plain"
        except Boom:
            log.count("raised")
        except ValueError as error:
            assert str(error) == "Rate limit exceeded", error
            log.count("refused")

    return call


async def _under_timeout(limiter, log, gauge, rng):
    """acquire() or `async with` inside wait_for with a timeout that often expires
    around the moment the admission lands."""
    before = time.time()
    timeout = rng.choice([0.0, 0.0001, 0.001, 0.005, 0.02])
    try:
        if rng.random() < 0.5:
            assert await asyncio.wait_for(limiter.acquire(), timeout) == ()
            try:
                await _hold_for_a_moment(log, gauge, rng, before)
            finally:
                await limiter.release()
        else:
            async def held():
                async with limiter:
                    await _hold_for_a_moment(log, gauge, rng, before)

            await asyncio.wait_for(held(), timeout + 0.004)
    except (asyncio.CancelledError, asyncio.TimeoutError):
        log.count("cancelled")


async def _hammer_one_loop(limiter, deadline, log, gauge, seed, tasks, cancel_rate, fail_rate, mix=None):
    decorated_call = _decorated(limiter, log, gauge, fail_rate)

    async def task_body(index):
        rng = random.Random(seed * 1000 + index)
        while time.time() < deadline:
            if mix == "timeouts":
                await _under_timeout(limiter, log, gauge, rng)
                continue
            way = rng.random()
            if way < 0.5:
                await _acquire_and_release(limiter, log, gauge, rng, cancel_rate)
            elif way < 0.7:
                await _async_with(limiter, log, gauge, rng)
            else:
                await decorated_call(rng)

    async def watch_remaining():
        while time.time() < deadline:
            log.saw_remaining(await limiter.get_remaining())
            await asyncio.sleep(0.001)

    await asyncio.gather(watch_remaining(), *[task_body(index) for index in range(tasks)])


async def _settled_burst(limiter, max_burst, timeout):
    """Permits given back by abandoned jobs arrive a little after the cut: poll for them."""
    give_up = time.monotonic() + timeout
    report = await limiter.get_remaining()
    while report.get("burst") != max_burst and time.monotonic() < give_up:
        await asyncio.sleep(0.02)
        report = await limiter.get_remaining()
    return report.get("burst")


def hammer_async_rate_limiter(limiter, seconds, loops, tasks_per_loop, seed=0, cancel_rate=0.5, fail_rate=0.2,
                              max_burst=None, mix=None):
    """Tasks on one event loop per thread share `limiter` until `seconds` have passed.

    Returns (log, gauge, burst) where burst is the free-permit count once
    every abandoned job has settled (None without max_burst).
    """
    log = AdmissionLog()
    gauge = HolderGauge()
    deadline = time.time() + seconds

    def loop_thread(index):
        coroutine = _hammer_one_loop(limiter, deadline, log, gauge, seed * 100 + index, tasks_per_loop,
                                     cancel_rate, fail_rate, mix)
        asyncio.run(asyncio.wait_for(coroutine, seconds + 120))

    run_threads(loops, loop_thread, join_timeout=seconds + 180)
    burst = None
    if max_burst is not None:
        burst = asyncio.run(_settled_burst(limiter, max_burst, 30))
    return log, gauge, burst


# --- Scenarios shared by the tests and bench/stress.py ---------------------

# mix: how the tasks use the limiter; None mixes every way, "timeouts" puts
# every acquisition inside wait_for with a short random timeout.
Scenario = collections.namedtuple("Scenario", "name kind kwargs windows mix", defaults=(None,))

# (length in seconds, limit) per configured window, derived from the kwargs.
SCENARIOS = [
    Scenario("sync-refusing-two-windows", "sync",
             {"sec": 40, "min": 110, "blocking": False}, [(1, 40), (60, 110)]),
    Scenario("sync-refusing-burst-stretched-second", "sync",
             {"sec": 60, "sec_window": 2, "hour": 10**9, "blocking": False, "max_burst": 3}, [(2, 60), (3600, 10**9)]),
    Scenario("sync-waiting-burst", "sync",
             {"sec": 30, "min": 10**6, "max_burst": 4}, [(1, 30), (60, 10**6)]),
    Scenario("async-refusing-two-windows", "async",
             {"sec": 40, "min": 110, "blocking": False, "max_burst": 6}, [(1, 40), (60, 110)]),
    Scenario("async-waiting-burst", "async",
             {"sec": 30, "sec_window": 1, "day": 10**7, "max_burst": 4}, [(1, 30), (86400, 10**7)]),
    Scenario("async-waiting-unlimited-burst", "async",
             {"sec": 25, "min": 10**6}, [(1, 25), (60, 10**6)]),
    Scenario("async-wait-for-timeouts-burst", "async",
             {"sec": 40, "max_burst": 3}, [(1, 40)], "timeouts"),
]


def scenario_named(name):
    return next(scenario for scenario in SCENARIOS if scenario.name == name)


def run_scenario(scenario, seconds, seed=0, threads=6, loops=3, tasks_per_loop=12):
    """Run one scenario; return a plain report that the tests assert on and the bench prints."""
    max_burst = scenario.kwargs.get("max_burst")
    if scenario.kind == "sync":
        limiter = quellgate.RateLimiter(**scenario.kwargs)
        log, gauge = hammer_rate_limiter(limiter, seconds, threads, seed)
        remaining = limiter.get_remaining()
        burst = remaining.get("burst")
    else:
        limiter = quellgate.AsyncRateLimiter(**scenario.kwargs)
        log, gauge, burst = hammer_async_rate_limiter(limiter, seconds, loops, tasks_per_loop, seed,
                                                     max_burst=max_burst, mix=scenario.mix)
    verdicts = judge_windows(log.spans, scenario.windows)
    return {
        "scenario": scenario.name,
        "admitted": len(log.spans),
        "refused": log.refused,
        "cancelled": log.cancelled,
        "late": log.late,
        "raised": log.raised,
        "worst_overshoot": max(verdict.worst_overshoot for verdict in verdicts),
        "fullest": {verdict.length: verdict.fullest for verdict in verdicts},
        "fewest_left": log.fewest_left,
        "peak_holders": gauge.peak,
        "holding_at_end": gauge.holding,
        "max_burst": max_burst,
        "permits_outstanding": None if max_burst is None else max_burst - burst,
    }
