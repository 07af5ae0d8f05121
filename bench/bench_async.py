"""Cost of AsyncRateLimiter as an asyncio caller sees it.

Side by side with aiolimiter (when installed): `await acquire()`, `async
with`, and a decorated coroutine function (beside `await loop.create_task(f())`,
the floor of any call that hands back a Future running a coroutine), with 1
and 100 tasks; and what the admission Future of a wait costs over a plain one.
Round trips of an admitted `await limiter.acquire()`, one at a time and from
100 concurrent tasks, next to `await loop.run_in_executor(None, f)` with a
trivial `f` (the usual way to hand work to threads from asyncio); then 10,000
acquisitions pending on a full window: threads, resident memory and CPU time
while they wait. Prints results; asserts nothing.

    python3 bench/bench_async.py [--scale 0.2]
"""

import argparse
import asyncio
import gc
import os
import sys
import time

from quellgate import AsyncRateLimiter

HUGE = 2**63
CONCURRENT_TASKS = 100
PENDING = 10_000
WARM_UP = 1_000


def trivial():
    return None


async def sequential_acquires(count):
    limiter = AsyncRateLimiter(sec=HUGE)
    acquire = limiter.acquire
    started = time.perf_counter()
    for _ in range(count):
        await acquire()
    return time.perf_counter() - started, count


async def sequential_executor_calls(count):
    loop = asyncio.get_running_loop()
    started = time.perf_counter()
    for _ in range(count):
        await loop.run_in_executor(None, trivial)
    return time.perf_counter() - started, count


async def concurrent(make_call, total):
    per_task = total // CONCURRENT_TASKS

    async def task():
        for _ in range(per_task):
            await make_call()

    started = time.perf_counter()
    await asyncio.gather(*[task() for _ in range(CONCURRENT_TASKS)])
    return time.perf_counter() - started, per_task * CONCURRENT_TASKS


async def concurrent_acquires(total):
    return await concurrent(AsyncRateLimiter(sec=HUGE).acquire, total)


async def concurrent_executor_calls(total):
    loop = asyncio.get_running_loop()
    return await concurrent(lambda: loop.run_in_executor(None, trivial), total)


def best_of(repeats, measure):
    """Smallest seconds per operation over several fresh event loops."""
    best = float("inf")
    for _ in range(repeats):
        seconds, operations = asyncio.run(measure())
        best = min(best, seconds / operations)
    return best


def show(label, seconds_per_op):
    print("  %-44s %9.2f us/op %12.0f ops/s" % (label, seconds_per_op * 1e6, 1.0 / seconds_per_op))


def round_trips(scale, repeats):
    sequential_count = max(200, int(5000 * scale))
    concurrent_count = max(CONCURRENT_TASKS * 10, int(50_000 * scale))
    print("Admitted round trips (best of %d)" % repeats)
    asyncio.run(sequential_acquires(100))  # builds the worker pool outside the timings

    seq_acquire = best_of(repeats, lambda: sequential_acquires(sequential_count))
    seq_executor = best_of(repeats, lambda: sequential_executor_calls(sequential_count))
    show("sequential await limiter.acquire()", seq_acquire)
    show("sequential await run_in_executor(None, f)", seq_executor)
    ratio = seq_acquire / seq_executor
    print("  sequential time ratio acquire/reference: %.2fx (target <= 0.85x: %s)" % (ratio, _verdict(ratio <= 0.85)))

    par_acquire = best_of(repeats, lambda: concurrent_acquires(concurrent_count))
    par_executor = best_of(repeats, lambda: concurrent_executor_calls(concurrent_count))
    show("%d tasks await limiter.acquire()" % CONCURRENT_TASKS, par_acquire)
    show("%d tasks await run_in_executor(None, f)" % CONCURRENT_TASKS, par_executor)
    speedup = par_executor / par_acquire
    print("  %d-task ops/s ratio acquire/reference: %.2fx (target >= 3x: %s)" % (
        CONCURRENT_TASKS, speedup, _verdict(speedup >= 3.0)))


# --- Side by side with aiolimiter, and the cost of the cancellation hand-off --


async def trivial_coroutine():
    return 1


def side_by_side_calls():
    """(label, make_quellgate_call, make_peer_call or None), each make_* run on a fresh loop."""
    try:
        from aiolimiter import AsyncLimiter
    except ImportError:
        AsyncLimiter = None

    def peer(make):
        return None if AsyncLimiter is None else make

    def async_with(make_limiter):
        def make_call():
            limiter = make_limiter()

            async def call():
                async with limiter:
                    pass

            return call

        return make_call

    def peer_limited_coroutine():
        limiter = AsyncLimiter(HUGE, 1)

        async def call():
            async with limiter:
                return await trivial_coroutine()

        return call

    def task_of_the_loop():
        loop = asyncio.get_running_loop()
        return lambda: loop.create_task(trivial_coroutine())

    return [
        ("await acquire()", lambda: AsyncRateLimiter(sec=HUGE).acquire, peer(lambda: AsyncLimiter(HUGE, 1).acquire)),
        ("async with", async_with(lambda: AsyncRateLimiter(sec=HUGE)), peer(async_with(lambda: AsyncLimiter(HUGE, 1)))),
        ("decorated coroutine (peer: async with + await f())", lambda: AsyncRateLimiter(sec=HUGE)(trivial_coroutine),
         peer(peer_limited_coroutine)),
        ("decorated coroutine vs await loop.create_task(f())", lambda: AsyncRateLimiter(sec=HUGE)(trivial_coroutine),
         task_of_the_loop),
    ]


async def calls_per_second(make_call, tasks, count):
    call = make_call()
    per_task = max(1, count // tasks)

    async def task():
        for _ in range(per_task):
            await call()

    started = time.perf_counter()
    await asyncio.gather(*[task() for _ in range(tasks)])
    return per_task * tasks / (time.perf_counter() - started)


def side_by_side(scale, repeats):
    """The two sides alternate, `repeats` times each, so that other load on the
    machine weighs on both alike; the best run of each side counts."""
    count = max(1000, int(30_000 * scale))
    print("Side by side (ops/s, best of %d alternating runs; ratio = quellgate / other)" % repeats)
    for label, ours, theirs in side_by_side_calls():
        if theirs is None:
            print("  %-52s skipped: aiolimiter is not installed" % label)
            continue
        for tasks in (1, CONCURRENT_TASKS):
            best_ours = best_theirs = 0.0
            for _ in range(repeats):
                best_ours = max(best_ours, asyncio.run(calls_per_second(ours, tasks, count)))
                best_theirs = max(best_theirs, asyncio.run(calls_per_second(theirs, tasks, count)))
            print("  %-52s %3d task(s): %10.0f vs %10.0f  ratio %.2f" % (
                label, tasks, best_ours, best_theirs, best_ours / best_theirs))


async def handoff_cost(count):
    """Nanoseconds per call that the admission Future of a wait costs over a
    plain Future: made, completed and awaited, the result read as a task would."""
    limiter = AsyncRateLimiter(sec=HUGE, max_burst=1)
    await limiter.acquire()
    waiting = limiter.acquire()  # the burst is taken: this one waits, in an admission Future
    admission_future = type(waiting)
    waiting.cancel()
    loop = asyncio.get_running_loop()

    async def made_and_awaited(make):
        started = time.perf_counter()
        for _ in range(count):
            future = make()
            future.set_result(())
            await future
        return (time.perf_counter() - started) / count

    plain = min([await made_and_awaited(loop.create_future) for _ in range(3)])
    admission = min([await made_and_awaited(lambda: admission_future(loop=loop, stop=None)) for _ in range(3)])
    return plain, admission


def wait_path_cost(scale):
    plain, admission = asyncio.run(handoff_cost(max(2000, int(100_000 * scale))))
    print("Cancellation hand-off on the wait path: admission Future %.0f ns, plain Future %.0f ns, "
          "cost %.0f ns per waiting call" % (admission * 1e9, plain * 1e9, (admission - plain) * 1e9))


def _verdict(met):
    return "met" if met else "NOT met"


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def thread_count():
    return len(os.listdir("/proc/self/task"))


async def start_pending(limiter, count):
    pending = [limiter.acquire() for _ in range(count)]
    # Let every job reach its first window wait before anything is measured.
    await asyncio.sleep(1.0)
    assert not any(future.done() for future in pending), "a waiter was admitted: the window rolled over"
    return pending


async def cancel_all(pending):
    for future in pending:
        future.cancel()
    await asyncio.sleep(0.5)


async def pending_waiters(cpu_seconds_window):
    limiter = AsyncRateLimiter(min=1)
    await limiter.acquire()  # the window is full from here on
    threads_before = thread_count()

    # Warm-up waiters stay pending, so that the measured ones reuse no memory freed by them.
    warm_up = await start_pending(limiter, WARM_UP)
    gc.collect()
    rss_before = resident_kib()
    pending = await start_pending(limiter, PENDING)
    rss_after = resident_kib()
    threads_after = thread_count()

    cpu_started, wall_started = time.process_time(), time.perf_counter()
    await asyncio.sleep(cpu_seconds_window)
    cpu_used = time.process_time() - cpu_started
    wall_used = time.perf_counter() - wall_started
    still_pending = sum(1 for future in pending if not future.done())
    await cancel_all(pending + warm_up)
    return threads_before, threads_after, rss_before, rss_after, cpu_used / wall_used, still_pending


def waiters(cpu_seconds_window):
    print("%d pending acquire() Futures on a full window (min=1), after %d warm-up waiters" % (PENDING, WARM_UP))
    seconds_to_rollover = 60 - time.time() % 60
    if seconds_to_rollover < cpu_seconds_window + 6:
        # The measurement must not straddle the minute: a rollover admits a waiter.
        time.sleep(seconds_to_rollover + 0.05)
    threads_before, threads_after, rss_before, rss_after, cpu_share, still_pending = asyncio.run(
        pending_waiters(cpu_seconds_window))
    per_waiter = (rss_after - rss_before) * 1024.0 / PENDING
    # Fewer afterwards is fine: threads of earlier benchmarks may still be ending.
    print("  threads before/after: %d / %d (target: no new thread: %s)" % (
        threads_before, threads_after, _verdict(threads_after <= threads_before)))
    print("  resident memory: %.0f bytes per waiter (VmRSS %d -> %d KiB; target < 2048: %s)" % (
        per_waiter, rss_before, rss_after, _verdict(per_waiter < 2048)))
    print("  CPU while waiting: %.4f CPU seconds per wall second over %.0f s (%d still pending)" % (
        cpu_share, cpu_seconds_window, still_pending))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=1.0, help="multiply the operation counts")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--cpu-window", type=float, default=4.0, help="seconds over which CPU use is measured")
    parser.add_argument("--uvloop", action="store_true", help="run every loop on uvloop")
    parser.add_argument("--side-by-side-only", action="store_true", help="only the comparison and the hand-off cost")
    options = parser.parse_args()
    if options.uvloop:
        import uvloop

        asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())
    print("CPython %s, %d usable processors%s" % (sys.version.split()[0], len(os.sched_getaffinity(0)),
                                                  ", uvloop" if options.uvloop else ""))
    side_by_side(options.scale, max(3, options.repeats))
    wait_path_cost(options.scale)
    if options.side_by_side_only:
        return
    round_trips(options.scale, options.repeats)
    waiters(options.cpu_window)


if __name__ == "__main__":
    main()
