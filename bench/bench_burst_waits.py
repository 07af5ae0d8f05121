"""CPU while callers wait on a full hour window (hour=1), with and without
max_burst=1: tasks of one event loop and threads.

With max_burst=1, the first waiter takes the permit and holds it while it
waits for the window, so every other waiter waits for a burst permit. Each
case runs in a child process, which exits with its waiters still blocked.
Target: with max_burst no more than twice the CPU without it.
"""

import argparse
import asyncio
import json
import resource
import subprocess
import sys
import threading
import time


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def keep_clear_of_hour_rollover(needed):
    left = 3600 - time.time() % 3600
    if left < needed:
        time.sleep(left + 0.1)


async def tasks_case(count, max_burst, settle, seconds):
    import quellgate

    limiter = quellgate.AsyncRateLimiter(hour=1, **max_burst)
    await limiter.acquire()
    if max_burst:
        await limiter.release()
    pending = [asyncio.ensure_future(limiter.acquire()) for _ in range(count)]
    await asyncio.sleep(settle)
    before, start = cpu_seconds(), time.perf_counter()
    await asyncio.sleep(seconds)
    used, elapsed = cpu_seconds() - before, time.perf_counter() - start
    assert not any(future.done() for future in pending), "a waiter was admitted"
    return 100.0 * used / elapsed


def threads_case(count, max_burst, settle, seconds):
    import quellgate

    limiter = quellgate.RateLimiter(hour=1, **max_burst)
    limiter.acquire()
    if max_burst:
        limiter.release()
    for _ in range(count):
        threading.Thread(target=limiter.acquire, daemon=True).start()
    time.sleep(settle)
    before, start = cpu_seconds(), time.perf_counter()
    time.sleep(seconds)
    return 100.0 * (cpu_seconds() - before) / (time.perf_counter() - start)


def child(mode, count, burst, settle, seconds):
    keep_clear_of_hour_rollover(settle + seconds + 10)
    max_burst = {"max_burst": 1} if burst else {}
    if mode == "tasks":
        loop = asyncio.new_event_loop()
        result = loop.run_until_complete(tasks_case(count, max_burst, settle, seconds))
    else:
        result = threads_case(count, max_burst, settle, seconds)
    print(json.dumps({"cpu_percent": result}), flush=True)
    import os

    os._exit(0)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tasks", type=int, default=10_000)
    parser.add_argument("--threads", type=int, default=1_000)
    parser.add_argument("--settle", type=float, default=2.0)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--child", nargs=3, metavar=("MODE", "COUNT", "BURST"), help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        mode, count, burst = options.child
        child(mode, int(count), burst == "1", options.settle, options.seconds)
    for mode, count in (("tasks", options.tasks), ("threads", options.threads)):
        figures = {}
        for burst in ("0", "1"):
            command = [sys.executable, __file__, "--child", mode, str(count), burst,
                       "--settle", str(options.settle), "--seconds", str(options.seconds)]
            done = subprocess.run(command, capture_output=True, text=True, check=True)
            figures[burst] = json.loads(done.stdout.strip().splitlines()[-1])["cpu_percent"]
        ratio = figures["1"] / max(figures["0"], 1e-9)
        print("%6d %-7s waiting: %5.2f %% of a core without max_burst, %5.2f %% with max_burst=1 "
              "(x%.2f; target <= x2: %s)" % (count, mode, figures["0"], figures["1"], ratio,
                                             "met" if ratio <= 2 else "NOT met"))


if __name__ == "__main__":
    main()
