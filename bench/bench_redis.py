"""quellgate's Redis-shared limiters next to `limits` over redis-py, against one
local redis-server, side by side in one run.

Rows: an admitted acquire() from one thread (measured in alternating slices
with `limits`, so that the load of a shared machine falls on both alike) with one window, and with two
windows (all or nothing in one script; `limits` makes one round trip per
limit), and asyncio with 100 tasks (quellgate pipelines the tasks' requests
over one connection; `limits` uses its asyncio Redis storage). Each row is
admissions per second over --seconds, and the ratio quellgate / limits next
to its target. A last row sets keyed acquire() against un-keyed on one
limiter (a view made per call, over 1000 keys in turn): the ratio
un-keyed / keyed, which should stay within 1.1.

    python bench/bench_redis.py [--seconds S] [--url redis://host:port]

Without --url it starts a redis-server of its own on a free port.
Exactness under contention and the server-fault targets are measured by
bench_redis_faults.py.
"""

import argparse
import asyncio
import itertools
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import limits
import limits.aio
import quellgate
from redis_timing import rates_side_by_side, tasks_rate

HUGE = 2**62
TARGETS = {"1 thread, one window": 1.5, "1 thread, two windows": 3.0, "asyncio, 100 tasks": 3.0}
KEYED_TARGET = 1.1


def start_server():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    directory = tempfile.mkdtemp(prefix="bench_redis.")
    server = subprocess.Popen(
        [shutil.which("redis-server"), "--port", str(port), "--save", "", "--appendonly", "no", "--dir", directory],
        stdout=subprocess.DEVNULL,
    )
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return server, "redis://127.0.0.1:%d" % port
        except OSError:
            time.sleep(0.02)
    sys.exit("redis-server did not start")


def quellgate_acquire(url, windows):
    name = "bench_redis.%d.%d" % (os.getpid(), windows)
    quellgate.remove_shared(name, storage=url)
    extra = {"min": HUGE} if windows == 2 else {}
    return quellgate.RateLimiter.shared(name, sec=HUGE, storage=url, **extra).acquire


def limits_hit(url, windows):
    limiter = limits.strategies.FixedWindowRateLimiter(limits.storage.storage_from_string(url))
    items = [limits.RateLimitItemPerSecond(HUGE), limits.RateLimitItemPerMinute(HUGE)][:windows]
    key = "bench_redis_%d" % os.getpid()

    def hit_all():
        # One round trip per limit, as an application checking several must.
        for item in items:
            if not limiter.hit(item, key):
                break

    return hit_all


def thread_row(url, windows, seconds):
    return rates_side_by_side([quellgate_acquire(url, windows), limits_hit(url, windows)], seconds)


def quellgate_tasks(url, seconds):
    name = "bench_redis.%d.async" % os.getpid()
    quellgate.remove_shared(name, storage=url)
    limiter = quellgate.AsyncRateLimiter.shared(name, sec=HUGE, storage=url)
    return asyncio.run(tasks_rate(limiter.acquire, seconds))


def limits_tasks(url, seconds):
    async def run():
        # redis-py's asyncio client, as the thread rows use redis-py.
        storage = limits.storage.storage_from_string("async+" + url, implementation="redispy")
        limiter = limits.aio.strategies.FixedWindowRateLimiter(storage)
        item = limits.RateLimitItemPerSecond(HUGE)
        return await tasks_rate(lambda: limiter.hit(item, "bench_redis_async"), seconds)

    return asyncio.run(run())


def keyed_row(url, seconds):
    """Un-keyed and keyed acquire() of one limiter, side by side."""
    name = "bench_redis.%d.keys" % os.getpid()
    quellgate.remove_shared(name, storage=url)
    limiter = quellgate.RateLimiter.shared(name, sec=HUGE, storage=url)
    keys = ["user:%d" % k for k in range(1000)]
    turns = itertools.cycle(keys)
    rates = rates_side_by_side([limiter.acquire, lambda: limiter[next(turns)].acquire()], seconds)
    quellgate.remove_shared(name, storage=url)
    return rates


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--url")
    options = parser.parse_args()
    server, url = (None, options.url) if options.url else start_server()
    try:
        rows = [
            ("1 thread, one window", *thread_row(url, 1, options.seconds)),
            ("1 thread, two windows", *thread_row(url, 2, options.seconds)),
            ("asyncio, 100 tasks", quellgate_tasks(url, options.seconds), limits_tasks(url, options.seconds)),
        ]
        unkeyed, keyed = keyed_row(url, options.seconds)
    finally:
        if server:
            server.kill()
            server.wait()
    print("%-24s %14s %14s %8s %8s" % ("row", "quellgate/s", "limits/s", "ratio", "target"))
    for row, ours, theirs in rows:
        ratio = ours / theirs
        verdict = "met" if ratio >= TARGETS[row] else "MISSED"
        print("%-24s %14.0f %14.0f %8.2f %7.1fx %s" % (row, ours, theirs, ratio, TARGETS[row], verdict))
    ratio = unkeyed / keyed
    verdict = "met" if ratio <= KEYED_TARGET else "MISSED"
    print("\n%-24s %14s %14s %8s %8s" % ("row", "un-keyed/s", "keyed/s", "ratio", "target"))
    print("%-24s %14.0f %14.0f %8.2f %7.1fx %s" % ("1 thread, one window", unkeyed, keyed, ratio, KEYED_TARGET, verdict))


if __name__ == "__main__":
    main()
