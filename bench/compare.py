#!/usr/bin/env python3
"""Compares quellgate with the pure-Python rate limiters people use today.

The same scenarios run on quellgate and on `limits` (moving and fixed window,
memory storage), `pyrate-limiter`, `aiolimiter`, `ratelimit` and
`asyncio-throttle`, each through its documented public API and in the modes it
offers; a library that has no such mode gets "n/a". Prints a table with every
figure and each library's ratio to quellgate, and writes it as Markdown, JSON
and a PNG chart. A second table, one limit shared by 4 processes, sets
quellgate's shared memory against pyrate-limiter's MultiprocessBucket and
`limits` over Redis, with quellgate over the same Redis server beside it
(both when redis-server is installed); `--shared-only` runs just that one.

From the repository root, one command builds the environment and runs it:

    python3 -m venv bench/.venv && bench/.venv/bin/pip install -r bench/requirements-compare.txt . \
        && bench/.venv/bin/python bench/compare.py

It takes about two and a half minutes on two cores. `--quick` gives rough
numbers in about one minute.
"""
from __future__ import annotations

import argparse
import asyncio
import gc
import importlib.metadata
import json
import math
import os
import platform
import resource
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Awaitable, Callable, Dict, List, Optional, Sequence, Tuple

HERE = Path(__file__).resolve().parent
HOUR = 3600

# ---------------------------------------------------------------------------
# Contenders: one adapter per library, built on its documented API only.
# Every factory takes (limit, period in seconds) and returns a fresh limiter's
# acquire function: sync_try returns whether it admitted at once, sync_wait
# and async_acquire return once admitted.
# ---------------------------------------------------------------------------


@dataclass
class Contender:
    name: str
    package: str
    sync_try: Optional[Callable[[int, int], Callable[[], bool]]] = None
    sync_wait: Optional[Callable[[int, int], Callable[[], object]]] = None
    async_acquire: Optional[Callable[[int, int], Callable[[], Awaitable[object]]]] = None
    # Whether async_acquire waits for capacity (False: it only tests and counts).
    async_waits: bool = True
    # When capacity freed by an admission at `admitted_at` comes back.
    capacity_returns: Callable[[float, int], float] = lambda admitted_at, period: admitted_at + period


def quellgate_limits(limit: int, period: int) -> Dict[str, Any]:
    named = {1: "sec", 60: "min", 3600: "hour", 86400: "day"}
    if period in named:
        return {named[period]: limit}
    return {"sec": limit, "sec_window": period}


def quellgate_contender() -> Contender:
    from quellgate import AsyncRateLimiter, RateLimiter

    def sync_try(limit: int, period: int) -> Callable[[], bool]:
        return RateLimiter(blocking=False, **quellgate_limits(limit, period)).acquire

    def sync_wait(limit: int, period: int) -> Callable[[], object]:
        return RateLimiter(**quellgate_limits(limit, period)).acquire

    def async_acquire(limit: int, period: int) -> Callable[[], Awaitable[object]]:
        return AsyncRateLimiter(**quellgate_limits(limit, period)).acquire

    def epoch_window_end(admitted_at: float, period: int) -> float:
        return (math.floor(admitted_at) // period + 1) * period

    return Contender("quellgate", "quellgate", sync_try, sync_wait, async_acquire, True, epoch_window_end)


def limits_contender(strategy_name: str, label: str) -> Contender:
    import limits
    import limits.aio.storage
    import limits.aio.strategies
    import limits.storage
    import limits.strategies

    def item(limit: int, period: int) -> Any:
        return limits.RateLimitItemPerSecond(limit, period)

    def sync_try(limit: int, period: int) -> Callable[[], bool]:
        strategy = getattr(limits.strategies, strategy_name)(limits.storage.MemoryStorage())
        rate = item(limit, period)
        return lambda: bool(strategy.hit(rate))

    def async_acquire(limit: int, period: int) -> Callable[[], Awaitable[object]]:
        strategy = getattr(limits.aio.strategies, strategy_name)(limits.aio.storage.MemoryStorage())
        rate = item(limit, period)
        return lambda: strategy.hit(rate)

    return Contender(label, "limits", sync_try, None, async_acquire, async_waits=False)


def pyrate_contender() -> Contender:
    from pyrate_limiter import Duration, Limiter, Rate

    def limiter(limit: int, period: int) -> Any:
        return Limiter(Rate(limit, Duration.SECOND * period))

    def sync_try(limit: int, period: int) -> Callable[[], bool]:
        instance = limiter(limit, period)
        return lambda: bool(instance.try_acquire("bench", blocking=False))

    def sync_wait(limit: int, period: int) -> Callable[[], object]:
        instance = limiter(limit, period)
        return lambda: instance.try_acquire("bench")

    def async_acquire(limit: int, period: int) -> Callable[[], Awaitable[object]]:
        instance = limiter(limit, period)
        return lambda: instance.try_acquire_async("bench")

    return Contender("pyrate-limiter", "pyrate-limiter", sync_try, sync_wait, async_acquire)


def aiolimiter_contender() -> Contender:
    from aiolimiter import AsyncLimiter

    def async_acquire(limit: int, period: int) -> Callable[[], Awaitable[object]]:
        return AsyncLimiter(limit, period).acquire

    return Contender("aiolimiter", "aiolimiter", async_acquire=async_acquire)


def ratelimit_contender() -> Contender:
    from ratelimit import RateLimitException, limits, sleep_and_retry

    def noop() -> None:
        pass

    def sync_try(limit: int, period: int) -> Callable[[], bool]:
        limited = limits(calls=limit, period=period)(noop)

        def attempt() -> bool:
            try:
                limited()
            except RateLimitException:
                return False
            return True

        return attempt

    def sync_wait(limit: int, period: int) -> Callable[[], object]:
        return sleep_and_retry(limits(calls=limit, period=period)(noop))

    return Contender("ratelimit", "ratelimit", sync_try, sync_wait)


def throttle_contender() -> Contender:
    from asyncio_throttle import Throttler

    def async_acquire(limit: int, period: int) -> Callable[[], Awaitable[object]]:
        throttler = Throttler(rate_limit=limit, period=period)

        async def once() -> None:
            async with throttler:
                pass

        return once

    return Contender("asyncio-throttle", "asyncio-throttle", async_acquire=async_acquire)


def all_contenders() -> List[Contender]:
    return [
        quellgate_contender(),
        limits_contender("MovingWindowRateLimiter", "limits (moving)"),
        limits_contender("FixedWindowRateLimiter", "limits (fixed)"),
        pyrate_contender(),
        aiolimiter_contender(),
        ratelimit_contender(),
        throttle_contender(),
        semaphore_contender(),
    ]


# ---------------------------------------------------------------------------
# Measurements. Each returns one figure for one contender.
# ---------------------------------------------------------------------------

BATCH = 256
HUGE = 100_000_000  # a limit no measurement reaches: every call is admitted


@dataclass
class Settings:
    seconds: float = 0.3  # one timed run of a throughput scenario
    repeats: int = 3  # throughput figures are the median of this many runs
    wake_trials: int = 10  # blocked waits timed per contender and mode
    waiters: int = 1000
    cpu_settle: float = 1.0
    cpu_seconds: float = 2.0
    race_seconds: float = 3.5
    race_limit: int = 20


def median_of(repeats: int, run: Callable[[], float]) -> float:
    results = []
    for _ in range(repeats):
        gc.collect()
        results.append(run())
    return statistics.median(results)


def calls_per_second(call: Callable[[], bool], seconds: float, expect: bool) -> float:
    """Calls `call` in batches for `seconds`; every outcome must be `expect`."""
    unexpected = 0
    calls = 0
    start = time.perf_counter()
    deadline = start + seconds
    while True:
        for _ in range(BATCH):
            if call() is not expect:
                unexpected += 1
        calls += BATCH
        now = time.perf_counter()
        if now >= deadline:
            break
    if unexpected:
        raise RuntimeError("%d of %d calls did not return %s" % (unexpected, calls, expect))
    return calls / (now - start)


def admitted_one_thread(c: Contender, s: Settings) -> float:
    assert c.sync_try
    factory = c.sync_try
    return median_of(s.repeats, lambda: calls_per_second(factory(HUGE, 1), s.seconds, True))


def refused_one_thread(c: Contender, s: Settings) -> float:
    assert c.sync_try
    factory = c.sync_try

    def run() -> float:
        attempt = factory(1, HOUR)
        if not attempt():
            raise RuntimeError("the first call on a fresh limiter was refused")
        return calls_per_second(attempt, s.seconds, False)

    return median_of(s.repeats, run)


def admitted_two_threads(c: Contender, s: Settings) -> Dict[str, Any]:
    """Admitted calls per second of two threads sharing one limiter whose
    limit nobody reaches. A refusal there is the library's own doing (some
    refuse when another thread holds their lock); it is counted, not hidden."""
    assert c.sync_try
    factory = c.sync_try
    rates: List[float] = []
    refusals: List[int] = []

    def run() -> float:
        attempt = factory(HUGE, 1)
        admitted = [0, 0]
        refused = [0, 0]
        stop = threading.Event()
        ready = threading.Barrier(3)

        def worker(slot: int) -> None:
            ready.wait()
            yes = no = 0
            while not stop.is_set():
                for _ in range(BATCH):
                    if attempt():
                        yes += 1
                    else:
                        no += 1
            admitted[slot], refused[slot] = yes, no

        threads = [threading.Thread(target=worker, args=(slot,)) for slot in (0, 1)]
        for t in threads:
            t.start()
        ready.wait()
        start = time.perf_counter()
        time.sleep(s.seconds)
        stop.set()
        for t in threads:
            t.join()
        elapsed = time.perf_counter() - start
        refusals.append(sum(refused))
        rates.append(sum(admitted) / elapsed)
        return rates[-1]

    rate = median_of(s.repeats, run)
    return {"admit_2t": rate, "_refused_2t": float(sum(refusals))}


def async_admitted(tasks: int) -> Callable[[Contender, Settings], float]:
    def measure(c: Contender, s: Settings) -> float:
        assert c.async_acquire
        factory = c.async_acquire

        async def run() -> float:
            acquire = factory(HUGE, 1)
            start = time.perf_counter()
            deadline = start + s.seconds

            async def task() -> int:
                n = 0
                while time.perf_counter() < deadline:
                    for _ in range(16):
                        outcome = await acquire()
                        # a waiting acquire returns once admitted; a testing one says whether it was
                        if not c.async_waits and outcome is not True:
                            raise RuntimeError("refused under a limit nobody reaches")
                    n += 16
                return n

            counts = await asyncio.gather(*(task() for _ in range(tasks)))
            return sum(counts) / (time.perf_counter() - start)

        return median_of(s.repeats, lambda: asyncio.run(run()))

    return measure


def late_by(c: Contender, admissions: Sequence[float]) -> List[float]:
    """Milliseconds between capacity coming back and the next admission. The
    first admission fills the limit (1 per second); every later one had to
    wait. The first wait is a warm-up and is dropped."""
    lateness = [
        (admitted - c.capacity_returns(previous, 1)) * 1000.0 for previous, admitted in zip(admissions, admissions[1:])
    ]
    return lateness[1:]


def wake_sync(c: Contender, s: Settings) -> List[float]:
    assert c.sync_wait
    acquire = c.sync_wait(1, 1)
    admissions = []
    for _ in range(s.wake_trials + 2):
        acquire()
        admissions.append(time.time())
    return late_by(c, admissions)


def wake_async(c: Contender, s: Settings) -> List[float]:
    assert c.async_acquire
    factory = c.async_acquire

    async def run() -> List[float]:
        acquire = factory(1, 1)
        admissions = []
        for _ in range(s.wake_trials + 2):
            await acquire()
            admissions.append(time.time())
        return admissions

    return late_by(c, asyncio.run(run()))


def cpu_while_waiting(mode: str) -> Callable[[Contender, Settings], float]:
    """CPU (% of one core) of a process in which 1,000 callers wait for a
    limiter that admitted its one call of the hour. Runs in a child process,
    which simply exits with its waiters still blocked."""

    def measure(c: Contender, s: Settings) -> float:
        command = [sys.executable, str(Path(__file__).resolve()), "--cpu-case", c.name, mode]
        command += ["--cpu-waiters", str(s.waiters), "--cpu-settle", str(s.cpu_settle), "--cpu-seconds", str(s.cpu_seconds)]
        done = subprocess.run(command, capture_output=True, text=True, timeout=120)
        if done.returncode != 0:
            raise RuntimeError("cpu case %s/%s failed: %s" % (c.name, mode, done.stderr.strip()[-400:]))
        return float(json.loads(done.stdout.strip().splitlines()[-1])["cpu_percent"])

    return measure


def cpu_case(name: str, mode: str, waiters: int, settle: float, seconds: float) -> None:
    if mode == "burst-threads":
        print(json.dumps({"cpu_percent": burst_cpu_case(name, waiters, settle, seconds)}), flush=True)
        os._exit(0)  # the waiters are still blocked; nothing to clean up
    contender = next(c for c in all_contenders() if c.name == name)

    def cpu_percent_over(wait: Callable[[], None]) -> float:
        before = resource.getrusage(resource.RUSAGE_SELF)
        start = time.perf_counter()
        wait()
        elapsed = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_SELF)
        used = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        return 100.0 * used / elapsed

    if mode == "threads":
        assert contender.sync_wait
        acquire = contender.sync_wait(1, HOUR)
        acquire()
        for _ in range(waiters):
            threading.Thread(target=acquire, daemon=True).start()
        time.sleep(settle)
        result = cpu_percent_over(lambda: time.sleep(seconds))
    else:
        assert contender.async_acquire
        factory = contender.async_acquire

        async def run() -> float:
            acquire = factory(1, HOUR)
            await acquire()
            pending = [asyncio.ensure_future(acquire()) for _ in range(waiters)]
            await asyncio.sleep(settle)
            loop = asyncio.get_running_loop()
            before = resource.getrusage(resource.RUSAGE_SELF)
            start = loop.time()
            await asyncio.sleep(seconds)
            elapsed = loop.time() - start
            after = resource.getrusage(resource.RUSAGE_SELF)
            admitted = sum(1 for p in pending if p.done())
            if admitted > 1:
                raise RuntimeError("%d waiters were admitted during the measurement" % admitted)
            used = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
            return 100.0 * used / elapsed

        result = _run_and_leave(run())
    print(json.dumps({"cpu_percent": result}), flush=True)
    os._exit(0)  # the waiters are still blocked; nothing to clean up


def _run_and_leave(coroutine: Awaitable[float]) -> float:
    """Runs `coroutine` on a new loop and returns its result without
    cancelling the tasks it left waiting (the process exits right after)."""
    loop = asyncio.new_event_loop()
    return loop.run_until_complete(coroutine)


def race_two_threads(c: Contender, s: Settings) -> Dict[str, Any]:
    """Two threads hammer one non-blocking limiter of `race_limit` per second
    for `race_seconds`, recording the wall-clock interval around each
    admitted call. An admission belongs to the epoch-aligned second that
    holds its whole interval; the few whose interval spans a rollover are
    left out rather than guessed."""
    assert c.sync_try
    attempt = c.sync_try(s.race_limit, 1)
    intervals: List[List[Tuple[float, float]]] = [[], []]
    ready = threading.Barrier(2)
    stop_at = time.time() + s.race_seconds

    def worker(slot: int) -> None:
        mine = intervals[slot]
        ready.wait()
        clock = time.time
        while True:
            before = clock()
            if before >= stop_at:
                return
            if attempt():
                mine.append((before, clock()))

    threads = [threading.Thread(target=worker, args=(slot,)) for slot in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    admitted = intervals[0] + intervals[1]
    per_second: Dict[int, int] = {}
    straddling = 0
    for before, after in admitted:
        if math.floor(before) != math.floor(after):
            straddling += 1
            continue
        per_second[math.floor(before)] = per_second.get(math.floor(before), 0) + 1
    busiest = max(per_second.values()) if per_second else 0
    midpoints = sorted((before + after) / 2 for before, after in admitted)
    return {
        "over": float(max(0, busiest - s.race_limit)),
        "busiest_epoch_second": float(busiest),
        "busiest_sliding_second": float(most_within(midpoints, 1.0)),
        "straddling": float(straddling),
        "admitted": float(len(admitted)),
    }


def most_within(sorted_times: Sequence[float], span: float) -> int:
    """The largest number of instants inside any half-open interval of `span`."""
    best = 0
    first = 0
    for last, instant in enumerate(sorted_times):
        while instant - sorted_times[first] >= span:
            first += 1
        best = max(best, last - first + 1)
    return best


# ---------------------------------------------------------------------------
# Scenarios: rows of the table.
# ---------------------------------------------------------------------------


@dataclass
class Row:
    key: str
    title: str
    unit: str  # "rate", "ms", "cpu" or "count"
    better: str  # "higher", "lower", or "info" for context that ranks nothing
    applies: Callable[[Contender], bool]
    values: Dict[str, float] = field(default_factory=dict)


def has_sync_try(c: Contender) -> bool:
    return c.sync_try is not None


def has_sync_wait(c: Contender) -> bool:
    return c.sync_wait is not None


def has_async(c: Contender) -> bool:
    return c.async_acquire is not None


def has_async_wait(c: Contender) -> bool:
    return c.async_acquire is not None and c.async_waits


ROWS = [
    Row("admit_1t", "non-blocking admitted, 1 thread", "rate", "higher", has_sync_try),
    Row("refuse_1t", "non-blocking refused, 1 thread", "rate", "higher", has_sync_try),
    Row("admit_2t", "non-blocking admitted, 2 threads", "rate", "higher", has_sync_try),
    Row("async_1", "asyncio acquire, 1 task", "rate", "higher", has_async),
    Row("async_100", "asyncio acquire, 100 tasks", "rate", "higher", has_async),
    Row("wake_sync_median", "thread late after capacity returns, median", "ms", "lower", has_sync_wait),
    Row("wake_sync_worst", "thread late after capacity returns, worst", "ms", "lower", has_sync_wait),
    Row("wake_async_median", "task late after capacity returns, median", "ms", "lower", has_async_wait),
    Row("wake_async_worst", "task late after capacity returns, worst", "ms", "lower", has_async_wait),
    Row("cpu_threads", "CPU while 1,000 threads wait", "cpu", "lower", has_sync_wait),
    Row("cpu_tasks", "CPU while 1,000 tasks wait", "cpu", "lower", has_async_wait),
    Row("over_epoch", "over-admission per epoch second, 2 threads", "count", "lower", has_sync_try),
    Row("sliding_max", "most admitted in any 1 s span (limit 20/s)", "count", "info", has_sync_try),
]
# More rows are appended by the asyncio-path block below.


# A step measures one contender and returns figures keyed by row; keys that
# start with "_" are raw samples kept for the JSON file only.
Step = Callable[[Contender, Settings], Dict[str, Any]]


def step_admit_1t(c: Contender, s: Settings) -> Dict[str, Any]:
    return {"admit_1t": admitted_one_thread(c, s)}


def step_refuse_1t(c: Contender, s: Settings) -> Dict[str, Any]:
    return {"refuse_1t": refused_one_thread(c, s)}


def step_async_1(c: Contender, s: Settings) -> Dict[str, Any]:
    return {"async_1": async_admitted(1)(c, s)}


def step_async_100(c: Contender, s: Settings) -> Dict[str, Any]:
    return {"async_100": async_admitted(100)(c, s)}


def step_race(c: Contender, s: Settings) -> Dict[str, Any]:
    race = race_two_threads(c, s)
    return {"over_epoch": race["over"], "sliding_max": race["busiest_sliding_second"], "_race": race}


def step_cpu_threads(c: Contender, s: Settings) -> Dict[str, Any]:
    return {"cpu_threads": cpu_while_waiting("threads")(c, s)}


def step_cpu_tasks(c: Contender, s: Settings) -> Dict[str, Any]:
    return {"cpu_tasks": cpu_while_waiting("tasks")(c, s)}


def wake_figures(mode: str, lateness: List[float], row: str = "wake") -> Dict[str, Any]:
    return {
        "%s_%s_median" % (row, mode): statistics.median(lateness),
        "%s_%s_worst" % (row, mode): max(lateness),
        "_%s_%s_ms" % (row, mode): lateness,
    }


def step_wake_threads(c: Contender, s: Settings) -> Dict[str, Any]:
    return wake_figures("sync", wake_sync(c, s))


def step_wake_tasks(c: Contender, s: Settings) -> Dict[str, Any]:
    return wake_figures("async", wake_async(c, s))


# ---------------------------------------------------------------------------
# Burst permits: callers waiting for a permit that another caller gives back.
# quellgate's cap is max_burst=1 on windows nobody fills; beside it stand the
# standard library's semaphores of one permit (threading.Semaphore for
# threads, asyncio.Semaphore for tasks). The rate limiters above cap nothing.
# ---------------------------------------------------------------------------

PERMIT_TRIALS = 20

# (acquire, release) of a fresh cap of one permit, for threads and for tasks.
ThreadCap = Tuple[Callable[[], object], Callable[[], object]]
TaskCap = Tuple[Callable[[], Awaitable[object]], Callable[[], Awaitable[object]]]


@dataclass
class PermitCap:
    threads: Callable[[], ThreadCap]
    tasks: Callable[[], TaskCap]


def quellgate_permit_cap() -> PermitCap:
    from quellgate import AsyncRateLimiter, RateLimiter

    def threads() -> ThreadCap:
        limiter = RateLimiter(sec=HUGE, max_burst=1)
        return limiter.acquire, limiter.release

    def tasks() -> TaskCap:
        limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)
        return limiter.acquire, limiter.release

    return PermitCap(threads, tasks)


def semaphore_permit_cap() -> PermitCap:
    def threads() -> ThreadCap:
        semaphore = threading.Semaphore(1)
        return semaphore.acquire, semaphore.release

    def tasks() -> TaskCap:
        semaphore = asyncio.Semaphore(1)

        async def release() -> None:
            semaphore.release()

        return semaphore.acquire, release

    return PermitCap(threads, tasks)


SEMAPHORES = "stdlib Semaphore"
PERMIT_CAPS: Dict[str, Callable[[], PermitCap]] = {"quellgate": quellgate_permit_cap, SEMAPHORES: semaphore_permit_cap}


def semaphore_contender() -> Contender:
    """A column for the standard library's semaphores; only the burst-permit rows apply."""
    return Contender(SEMAPHORES, "python")


def has_permit_cap(c: Contender) -> bool:
    return c.name in PERMIT_CAPS


def permit_settle(trial: int) -> float:
    """How long the waiter waits before the release: spread over 30-250 ms so
    that the release falls anywhere in a waiter's sleep."""
    return 0.03 + 0.22 * ((trial * 7) % PERMIT_TRIALS) / PERMIT_TRIALS


def permit_wake_threads(c: Contender, s: Settings) -> List[float]:
    """Milliseconds from release() to the waiting thread's admission, one waiter
    at a time; each admitted waiter keeps the permit for the next trial."""
    acquire, release = PERMIT_CAPS[c.name]().threads()
    acquire()
    lateness = []
    for trial in range(PERMIT_TRIALS):
        admitted: List[float] = []
        waiter = threading.Thread(target=lambda: (acquire(), admitted.append(time.perf_counter())))
        waiter.start()
        time.sleep(permit_settle(trial))
        if admitted:
            raise RuntimeError("a waiter was admitted while the permit was held")
        released_at = time.perf_counter()
        release()
        waiter.join()
        lateness.append((admitted[0] - released_at) * 1000.0)
    release()
    return lateness


def permit_wake_tasks(c: Contender, s: Settings) -> List[float]:
    """As permit_wake_threads, with a task waiting on the event loop."""
    make = PERMIT_CAPS[c.name]().tasks

    async def run() -> List[float]:
        acquire, release = make()
        await acquire()
        lateness = []
        for trial in range(PERMIT_TRIALS):
            admitted: List[float] = []

            async def wait() -> None:
                await acquire()
                admitted.append(time.perf_counter())

            waiter = asyncio.ensure_future(wait())
            await asyncio.sleep(permit_settle(trial))
            if admitted:
                raise RuntimeError("a waiter was admitted while the permit was held")
            released_at = time.perf_counter()
            await release()
            await waiter
            lateness.append((admitted[0] - released_at) * 1000.0)
        await release()
        return lateness

    return asyncio.run(run())


def burst_cpu_case(name: str, waiters: int, settle: float, seconds: float) -> float:
    """CPU (% of one core) while `waiters` threads wait for a permit held for good."""
    acquire, _ = PERMIT_CAPS[name]().threads()
    acquire()
    for _ in range(waiters):
        threading.Thread(target=acquire, daemon=True).start()
    time.sleep(settle)
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    time.sleep(seconds)
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    return 100.0 * ((after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)) / elapsed


def step_permit_cpu(c: Contender, s: Settings) -> Dict[str, Any]:
    return {"cpu_burst_threads": cpu_while_waiting("burst-threads")(c, s)}


def step_permit_wake_threads(c: Contender, s: Settings) -> Dict[str, Any]:
    return wake_figures("sync", permit_wake_threads(c, s), row="permit")


def step_permit_wake_tasks(c: Contender, s: Settings) -> Dict[str, Any]:
    return wake_figures("async", permit_wake_tasks(c, s), row="permit")


PERMIT_ROWS = [
    Row("cpu_burst_threads", "CPU while 1,000 threads wait for a burst permit", "cpu", "lower", has_permit_cap),
    Row("permit_sync_median", "thread admitted after release(), median of 20", "ms", "lower", has_permit_cap),
    Row("permit_sync_worst", "thread admitted after release(), worst of 20", "ms", "lower", has_permit_cap),
    Row("permit_async_median", "task admitted after release(), median of 20", "ms", "lower", has_permit_cap),
    Row("permit_async_worst", "task admitted after release(), worst of 20", "ms", "lower", has_permit_cap),
]
ROWS.extend(PERMIT_ROWS)


def permit_phases() -> List[Tuple[str, Callable[[Contender], bool], Step]]:
    return [
        ("CPU, burst waiters", has_permit_cap, step_permit_cpu),
        ("permit wake, threads", has_permit_cap, step_permit_wake_threads),
        ("permit wake, tasks", has_permit_cap, step_permit_wake_tasks),
    ]


# ---------------------------------------------------------------------------
# The asyncio path: `async with`, decorated coroutine functions and a rollover
# that admits thousands of waiting tasks at once. Kept in one block: each
# scenario has its own adapters, keyed by contender name; a contender without
# one gets "n/a".
# ---------------------------------------------------------------------------

ROLLOVER_LIMIT = 3000  # the window's limit, and the number of tasks waiting on it


def async_with_adapter(name: str) -> Optional[Callable[[], Any]]:
    """A fresh limiter that admits every call, as an async context manager."""
    if name == "quellgate":
        from quellgate import AsyncRateLimiter

        return AsyncRateLimiter(sec=HUGE)
    if name == "aiolimiter":
        from aiolimiter import AsyncLimiter

        return AsyncLimiter(HUGE, 1)
    if name == "asyncio-throttle":
        from asyncio_throttle import Throttler

        return Throttler(rate_limit=HUGE, period=1)
    return None


async def trivial_coroutine() -> int:
    return 1


def limited_coroutine_adapter(name: str) -> Optional[Callable[[], Awaitable[object]]]:
    """A limited call of a trivial coroutine function: decorated when the
    library decorates, else `async with limiter: await f()`."""
    if name == "quellgate":
        from quellgate import AsyncRateLimiter

        return AsyncRateLimiter(sec=HUGE)(trivial_coroutine)
    manager = async_with_adapter(name)
    if manager is None:
        return None

    async def call() -> int:
        async with manager:
            return await trivial_coroutine()

    return call


def has_async_with(c: Contender) -> bool:
    return c.name in ("quellgate", "aiolimiter", "asyncio-throttle")


def is_quellgate(c: Contender) -> bool:
    return c.name == "quellgate"


def awaited_per_second(make_call: Callable[[], Callable[[], Awaitable[object]]], tasks: int,
                       s: Settings) -> float:
    """Awaited calls per second from `tasks` tasks, median of fresh loops."""

    async def run() -> float:
        call = make_call()
        start = time.perf_counter()
        deadline = start + s.seconds

        async def task() -> int:
            n = 0
            while time.perf_counter() < deadline:
                for _ in range(16):
                    await call()
                n += 16
            return n

        counts = await asyncio.gather(*(task() for _ in range(tasks)))
        return sum(counts) / (time.perf_counter() - start)

    return median_of(s.repeats, lambda: asyncio.run(run()))


def async_with_rate(tasks: int) -> Step:
    def step(c: Contender, s: Settings) -> Dict[str, Any]:
        def make_call() -> Callable[[], Awaitable[object]]:
            manager = async_with_adapter(c.name)

            async def once() -> None:
                async with manager:
                    pass

            return once

        return {"async_with_%d" % tasks: awaited_per_second(make_call, tasks, s)}

    return step


def limited_coroutine_rate(tasks: int) -> Step:
    def step(c: Contender, s: Settings) -> Dict[str, Any]:
        figures = {"coroutine_%d" % tasks: awaited_per_second(lambda: limited_coroutine_adapter(c.name), tasks, s)}
        if c.name == "quellgate":
            # The floor of any call that hands back a Future running a coroutine.
            def task_of_the_loop() -> Callable[[], Awaitable[object]]:
                loop = asyncio.get_running_loop()
                return lambda: loop.create_task(trivial_coroutine())

            figures["create_task_%d" % tasks] = awaited_per_second(task_of_the_loop, tasks, s)
        return figures

    return step


def rollover_admission(c: Contender, s: Settings) -> Dict[str, Any]:
    """A window of 3,000 per second filled, 3,000 tasks waiting on it: how long
    after the rollover the last of them (and the median one) is admitted."""
    from quellgate import AsyncRateLimiter

    async def run() -> List[float]:
        limiter = AsyncRateLimiter(sec=ROLLOVER_LIMIT)
        now = time.time()
        await asyncio.sleep(math.ceil(now) - now + 0.05)  # early in a second: time to fill it
        window = math.floor(time.time())
        await asyncio.gather(*(limiter.acquire() for _ in range(ROLLOVER_LIMIT)))
        admitted_at: List[float] = []

        async def waiter() -> None:
            await limiter.acquire()
            admitted_at.append(time.time())

        await asyncio.gather(*(waiter() for _ in range(ROLLOVER_LIMIT)))
        if any(t < window + 1 for t in admitted_at):
            raise RuntimeError("the window was not full when the waiters started")
        return [(t - (window + 1)) * 1000.0 for t in admitted_at]

    runs = [asyncio.run(run()) for _ in range(max(1, s.repeats))]
    return {
        "rollover_last": statistics.median(max(r) for r in runs),
        "rollover_median": statistics.median(statistics.median(r) for r in runs),
        "_rollover_ms": [[min(r), statistics.median(r), max(r)] for r in runs],
    }


ASYNC_PATH_ROWS = [
    Row("async_with_1", "asyncio `async with`, 1 task", "rate", "higher", has_async_with),
    Row("async_with_100", "asyncio `async with`, 100 tasks", "rate", "higher", has_async_with),
    Row("coroutine_1", "limited coroutine call, 1 task", "rate", "higher", has_async_with),
    Row("coroutine_100", "limited coroutine call, 100 tasks", "rate", "higher", has_async_with),
    Row("create_task_1", "unlimited `await loop.create_task(f())`, 1 task", "rate", "info", is_quellgate),
    Row("create_task_100", "unlimited `await loop.create_task(f())`, 100 tasks", "rate", "info", is_quellgate),
    Row("rollover_median", "3,000 tasks admitted at a rollover, median after it", "ms", "lower", is_quellgate),
    Row("rollover_last", "3,000 tasks admitted at a rollover, last after it", "ms", "lower", is_quellgate),
]
ROWS.extend(ASYNC_PATH_ROWS)


def async_path_phases() -> List[Tuple[str, Callable[[Contender], bool], Step]]:
    return [
        ("async with, 1 task", has_async_with, async_with_rate(1)),
        ("async with, 100 tasks", has_async_with, async_with_rate(100)),
        ("coroutine, 1 task", has_async_with, limited_coroutine_rate(1)),
        ("coroutine, 100 tasks", has_async_with, limited_coroutine_rate(100)),
        ("rollover of 3,000", is_quellgate, rollover_admission),
    ]



def plan(contenders: List[Contender]) -> List[Tuple[str, Contender, Step]]:
    """The measurements to make, in order: the short ones first, the waits last."""
    phases: List[Tuple[str, Callable[[Contender], bool], Step]] = [
        ("admitted, 1 thread", has_sync_try, step_admit_1t),
        ("refused, 1 thread", has_sync_try, step_refuse_1t),
        ("admitted, 2 threads", has_sync_try, admitted_two_threads),
        ("asyncio, 1 task", has_async, step_async_1),
        ("asyncio, 100 tasks", has_async, step_async_100),
        ("over-admission race", has_sync_try, step_race),
        ("CPU, 1,000 threads", has_sync_wait, step_cpu_threads),
        ("CPU, 1,000 tasks", has_async_wait, step_cpu_tasks),
        ("wake-up, threads", has_sync_wait, step_wake_threads),
        ("wake-up, tasks", has_async_wait, step_wake_tasks),
    ]
    phases += permit_phases()
    phases += async_path_phases()
    return [(label, c, step) for label, applies, step in phases for c in contenders if applies(c)]


# ---------------------------------------------------------------------------
# Reporting.
# ---------------------------------------------------------------------------


def format_value(unit: str, value: float) -> str:
    if unit == "rate":
        for scale, suffix in ((1e6, "M/s"), (1e3, "k/s")):
            if value >= scale:
                return "%.3g %s" % (value / scale, suffix)
        return "%.3g /s" % value
    if unit == "ms":
        return "%.3g ms" % value if abs(value) >= 0.01 else "%.2f ms" % value
    if unit == "cpu":
        return "%.3g %%" % value if value >= 0.1 else "%.2f %%" % value
    return "%d" % round(value)


def ratio_text(row: Row, name: str) -> str:
    base = row.values.get("quellgate")
    value = row.values.get(name)
    if name == "quellgate" or value is None or not base or row.better == "info":
        return ""
    ratio = value / base
    return "×%.0f" % ratio if ratio >= 100 else "×%.2g" % ratio


def cell(row: Row, name: str) -> str:
    if name not in row.values:
        return "n/a"
    ratio = ratio_text(row, name)
    text = format_value(row.unit, row.values[name])
    return "%s (%s)" % (text, ratio) if ratio else text


def markdown_table(contenders: List[Contender]) -> str:
    header = "| scenario | better | " + " | ".join(c.name for c in contenders) + " |"
    rule = "|---|---|" + "---|" * len(contenders)
    lines = [header, rule]
    for row in ROWS:
        lines.append("| %s | %s | %s |" % (row.title, row.better, " | ".join(cell(row, c.name) for c in contenders)))
    return "\n".join(lines)


def environment() -> Dict[str, str]:
    model = ""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), "")
    except OSError:
        pass
    versions = {}
    for package in ["quellgate", "limits", "pyrate-limiter", "aiolimiter", "ratelimit", "asyncio-throttle"]:
        try:
            versions[package] = importlib.metadata.version(package)
        except importlib.metadata.PackageNotFoundError:
            versions[package] = "?"
    return {
        "python": platform.python_version(),
        "platform": platform.platform(),
        "cpu": "%s, %s logical processors" % (model or platform.machine(), os.cpu_count()),
        "versions": ", ".join("%s %s" % item for item in versions.items()),
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        # Other load moves the figures; the 1-minute load average at the end tells.
        "load average": "%.2f (1 min), %.2f (5 min)" % os.getloadavg()[:2],
    }


def chart(contenders: List[Contender], path: Path, env: Dict[str, str]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [c.name for c in contenders]
    colours = dict(zip(names, ["#d62728", "#1f77b4", "#6baed6", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b", "#7f7f7f"]))
    columns = 3
    grid_rows = math.ceil(len(ROWS) / columns)
    figure, axes = plt.subplots(grid_rows, columns, figsize=(18, 3.3 * grid_rows))
    for ax, row in zip(axes.flat, ROWS):
        shown = [name for name in names if name in row.values]
        values = [row.values[name] for name in shown]
        bars = ax.barh(shown, values, color=[colours[name] for name in shown])
        ax.invert_yaxis()
        note = "(%s is better)" % row.better if row.better != "info" else "(for context: not ranked)"
        ax.set_title("%s\n%s" % (row.title, note), fontsize=10)
        if row.unit == "rate":
            ax.set_xscale("log")
        ax.tick_params(axis="y", labelsize=9)
        ax.tick_params(axis="x", labelsize=8)
        top = max(values) if values else 1
        for bar, name, value in zip(bars, shown, values):
            ax.text(
                bar.get_width() if row.unit == "rate" else max(bar.get_width(), 0),
                bar.get_y() + bar.get_height() / 2,
                " " + format_value(row.unit, value),
                va="center",
                fontsize=8,
            )
        if row.unit == "rate":
            ax.set_xlim(min(values) / 2 if values else 1, top * 8)
        else:
            ax.set_xlim(min(0.0, min(values) * 1.2) if values else 0, (top if top > 0 else 1) * 1.35)
    for ax in list(axes.flat)[len(ROWS):]:
        ax.axis("off")
    figure.suptitle(
        "quellgate and pure-Python rate limiters: CPython %s, %s" % (env["python"], env["cpu"]), fontsize=12
    )
    figure.tight_layout(rect=(0, 0, 1, 0.97))
    figure.savefig(path, dpi=80)
    plt.close(figure)



# ---------------------------------------------------------------------------
# One limit shared by 4 processes: each process admits in a tight loop on one
# thread against the same limit, which no run reaches, for the same seconds.
# The peers' ways to share: pyrate-limiter's MultiprocessBucket (a
# multiprocessing.Manager list behind a lock) and `limits` over a Redis
# server, started here on a free loopback port when redis-server is
# installed (left out otherwise), where quellgate's Redis-shared limiter runs
# too.
# ---------------------------------------------------------------------------

SHARED_PROCESSES = 4


def shared_acquire(kind: str, handle: Any) -> Callable[[], bool]:
    """The admitting call of one process; built in that process."""
    if kind == "quellgate":
        import quellgate

        limiter = quellgate.RateLimiter.shared(handle, sec=HUGE, sec_window=HOUR, blocking=False)
        return limiter.acquire
    if kind == "quellgate over Redis":
        import quellgate

        name, url = handle
        limiter = quellgate.RateLimiter.shared(name, sec=HUGE, sec_window=HOUR, blocking=False, storage=url)
        return limiter.acquire
    if kind == "pyrate-limiter (MultiprocessBucket)":
        from pyrate_limiter import Limiter

        bucket_limiter = Limiter(handle)
        # Blocking: a non-blocking try also gives up when another process
        # holds the bucket's lock, which is not a refusal by the limit.
        return lambda: bool(bucket_limiter.try_acquire("bench"))
    import limits
    import limits.storage
    import limits.strategies

    # From the URL, as an application configures it: redis:// or redis+cluster://.
    strategy = limits.strategies.FixedWindowRateLimiter(limits.storage.storage_from_string(handle))
    item = limits.RateLimitItemPerSecond(HUGE, HOUR)
    return lambda: bool(strategy.hit(item))


def shared_worker(kind: str, handle: Any, seconds: float, ready: Any, go: Any, results: Any) -> None:
    acquire = shared_acquire(kind, handle)
    if not acquire():
        raise RuntimeError("%s refused under a limit no run reaches" % kind)
    ready.put(True)
    go.wait()
    calls, deadline = 0, time.time() + seconds
    while time.time() < deadline:
        for _ in range(64):
            if not acquire():
                raise RuntimeError("%s refused under a limit no run reaches" % kind)
        calls += 64
    results.put(calls)


def shared_rate(kind: str, handle: Any, seconds: float) -> float:
    import multiprocessing

    # pyrate-limiter's lock is made in the default (fork) context and can
    # only reach processes of that context.
    ctx = multiprocessing.get_context("fork" if kind.startswith("pyrate") else "spawn")
    ready, go, results = ctx.Queue(), ctx.Event(), ctx.Queue()
    workers = [ctx.Process(target=shared_worker, args=(kind, handle, seconds, ready, go, results))
               for _ in range(SHARED_PROCESSES)]
    for worker in workers:
        worker.start()
    # All start together once every one is built and warmed up, however long
    # a busy machine takes to spawn them (a redis-py cluster client, seconds).
    for _ in workers:
        ready.get(timeout=120)
    go.set()
    total = sum(results.get(timeout=seconds + 60) for _ in workers)
    for worker in workers:
        worker.join()
    return total / seconds


def shared_table(seconds: float) -> Dict[str, float]:
    """Admissions per second of the 4 processes together, per contender."""
    import shutil

    import quellgate
    from pyrate_limiter import Duration, MultiprocessBucket, Rate
    from redis_servers import RedisCluster, RedisServer

    rates: Dict[str, float] = {}
    name = "compare.%d" % os.getpid()
    quellgate.RateLimiter.shared(name, sec=HUGE, sec_window=HOUR, blocking=False)
    try:
        rates["quellgate"] = shared_rate("quellgate", name, seconds)
    finally:
        quellgate.remove_shared(name)
    bucket = MultiprocessBucket.init([Rate(HUGE, Duration.SECOND * HOUR)])
    rates["pyrate-limiter (MultiprocessBucket)"] = shared_rate("pyrate-limiter (MultiprocessBucket)", bucket, seconds)
    if shutil.which("redis-server"):
        with RedisServer() as url:
            rates["limits (fixed) over Redis"] = shared_rate("limits over Redis", url, seconds)
            rates["quellgate over Redis"] = shared_rate("quellgate over Redis", (name, url), seconds)
        # The one limit lives on one master: a cluster spreads names, not one name's calls.
        with RedisCluster() as url:
            rates["limits (fixed) over Redis Cluster"] = shared_rate("limits over Redis", url, seconds)
            rates["quellgate over Redis Cluster"] = shared_rate("quellgate over Redis", (name, url), seconds)
    return rates


def shared_markdown(rates: Dict[str, float]) -> str:
    ours = rates["quellgate"]
    fastest_peer = max(rate for name, rate in rates.items() if not name.startswith("quellgate"))
    lines = [
        "One limit shared by %d processes (admitted acquire(), one thread per process; ratio = library / quellgate)"
        % SHARED_PROCESSES,
        "",
        "| library | admissions/s, all processes | ratio |",
        "|---|---|---|",
    ]
    lines += ["| %s | %s | %.4f |" % (name, format(round(rate), ","), rate / ours) for name, rate in rates.items()]
    lines += ["", "quellgate / fastest peer: %.0fx (target: at least 100x)" % (ours / fastest_peer)]
    if "quellgate over Redis" in rates:
        lines += ["", "quellgate over Redis / limits (fixed) over Redis: %.2fx (both one round trip per admission)"
                  % (rates["quellgate over Redis"] / rates["limits (fixed) over Redis"])]
    if rates.get("limits (fixed) over Redis Cluster"):
        lines += ["", "quellgate over Redis Cluster / limits (fixed) over Redis Cluster: %.2fx"
                  % (rates["quellgate over Redis Cluster"] / rates["limits (fixed) over Redis Cluster"])]
    return "\n".join(lines)


def write_shared_table(out: Path, seconds: float) -> None:
    rates = shared_table(seconds)
    markdown = shared_markdown(rates)
    print(markdown)
    out.mkdir(parents=True, exist_ok=True)
    env = environment()
    (out / "compare_shared.md").write_text(markdown + "\n\n" + "\n".join("- %s: %s" % item for item in env.items()) + "\n")
    (out / "compare_shared.json").write_text(json.dumps({"environment": env, "rates": rates, "seconds": seconds}, indent=2))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="shorter runs and fewer samples: rough figures")
    parser.add_argument("--out", type=Path, default=HERE / "results", help="where compare.md/.json/.png go")
    parser.add_argument("--only", action="append", metavar="TEXT",
                        help="measure only the phases whose label contains TEXT (repeatable); for a partial look")
    parser.add_argument("--shared-only", action="store_true",
                        help="measure only the table of one limit shared by 4 processes (compare_shared.md)")
    parser.add_argument("--cpu-case", nargs=2, metavar=("CONTENDER", "MODE"), help=argparse.SUPPRESS)
    parser.add_argument("--cpu-waiters", type=int, default=1000, help=argparse.SUPPRESS)
    parser.add_argument("--cpu-settle", type=float, default=1.0, help=argparse.SUPPRESS)
    parser.add_argument("--cpu-seconds", type=float, default=2.0, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.cpu_case:
        cpu_case(args.cpu_case[0], args.cpu_case[1], args.cpu_waiters, args.cpu_settle, args.cpu_seconds)
        return
    if args.shared_only:
        write_shared_table(args.out, 1.0 if args.quick else 3.0)
        return

    from rich.console import Console
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn
    from rich.table import Table

    settings = Settings()
    if args.quick:
        settings = Settings(seconds=0.1, repeats=1, wake_trials=3, cpu_settle=0.5, cpu_seconds=1.0, race_seconds=2.5)
    console = Console()
    if not console.is_terminal:
        console = Console(width=170)  # a log file has room for the whole table
    contenders = all_contenders()
    steps = plan(contenders)
    if args.only:
        steps = [step for step in steps if any(text in step[0] for text in args.only)]
    raw: Dict[str, Dict[str, Any]] = {}
    columns = [TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(), TimeElapsedColumn()]
    with Progress(*columns, console=console) as progress:
        task = progress.add_task("measuring", total=len(steps))
        for label, contender, step in steps:
            progress.update(task, description="%-22s %s" % (label, contender.name))
            for key, value in step(contender, settings).items():
                if key.startswith("_"):
                    raw.setdefault(contender.name, {})[key[1:]] = value
                else:
                    next(row for row in ROWS if row.key == key).values[contender.name] = value
            progress.advance(task)

    env = environment()
    table = Table(title="quellgate vs pure-Python limiters (ratio = library / quellgate)")
    table.add_column("scenario")
    table.add_column("better")
    for c in contenders:
        table.add_column(c.name, justify="right")
    for row in ROWS:
        table.add_row(row.title, row.better, *(cell(row, c.name) for c in contenders))
    console.print(table)
    for key in env:
        console.print("%s: %s" % (key, env[key]))

    args.out.mkdir(parents=True, exist_ok=True)
    markdown = markdown_table(contenders)
    (args.out / "compare.md").write_text(
        markdown + "\n\n" + "\n".join("- %s: %s" % item for item in env.items()) + "\n"
    )
    (args.out / "compare.json").write_text(
        json.dumps(
            {"environment": env, "rows": {row.key: row.values for row in ROWS}, "details": raw, "quick": args.quick},
            indent=2,
        )
    )
    chart(contenders, args.out / "compare.png", env)
    console.print("wrote %s/compare.md, compare.json and compare.png" % args.out)
    write_shared_table(args.out, settings.seconds * 10)


if __name__ == "__main__":
    main()
