"""What Sentinel costs a shared limiter's decision: redis+sentinel:// next to
redis:// on the same master, on loopback, with `limits` (and redis-py) on its
own redis+sentinel:// URL beside them when it is installed.

Rows: an admitted acquire() from one thread (the URLs measured in
alternating slices, so that the load of a shared machine falls on all
alike), and asyncio with 100 tasks (pipelined over one connection). The
sentinels are asked only when a connection opens, so the two quellgate rows
should match; the `limits` row is its FixedWindowRateLimiter.hit() from one
thread, each a round trip to the master through redis-py.

    python bench/bench_redis_sentinel.py [--seconds S]

Starts a redis-server and a sentinel of its own on free loopback ports.
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import quellgate
from redis_timing import rates_side_by_side, tasks_side_by_side

HUGE = 2**62
SERVICE = "benchmaster"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def answers(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1) as connection:
            connection.sendall(b"PING\r\n")
            return connection.recv(16).startswith(b"+PONG")
    except OSError:
        return False


def start_deployment(directory):
    """A master and a sentinel watching it; their processes and both URLs."""
    master, sentinel = free_port(), free_port()
    config = os.path.join(directory, "sentinel.conf")
    with open(config, "w") as out:
        out.write("port %d\nbind 127.0.0.1\ndir %s\nsentinel monitor %s 127.0.0.1 %d 1\n"
                  % (sentinel, directory, SERVICE, master))
    server = shutil.which("redis-server")
    processes = [
        subprocess.Popen([server, "--port", str(master), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
                          "--dir", directory], stdout=subprocess.DEVNULL),
        subprocess.Popen([server, config, "--sentinel"], stdout=subprocess.DEVNULL),
    ]
    deadline = time.monotonic() + 10
    while not (answers(master) and answers(sentinel)):
        if time.monotonic() > deadline:
            sys.exit("redis-server or its sentinel did not start")
        time.sleep(0.02)
    return processes, "redis://127.0.0.1:%d" % master, "redis+sentinel://127.0.0.1:%d/%s" % (sentinel, SERVICE)


def limiter(cls, url, tag):
    name = "bench_redis_sentinel.%d.%s" % (os.getpid(), tag)
    quellgate.remove_shared(name, storage=url)
    return cls.shared(name, sec=HUGE, storage=url)


def limits_hit(sentinel_url):
    """`limits`' own redis+sentinel:// storage, or None without it."""
    try:
        import limits
        import limits.storage
        import limits.strategies
    except ImportError:
        return None
    storage = limits.storage.storage_from_string(sentinel_url)
    strategy = limits.strategies.FixedWindowRateLimiter(storage)
    item = limits.parse("1000000000/second")
    key = "bench_redis_sentinel.%d" % os.getpid()
    return lambda: strategy.hit(item, key)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    options = parser.parse_args()
    directory = tempfile.mkdtemp(prefix="bench_redis_sentinel.")
    processes, plain, via_sentinel = start_deployment(directory)
    try:
        urls = {"redis://": plain, "redis+sentinel://": via_sentinel}
        calls = {label: limiter(quellgate.RateLimiter, url, "sync%d" % i).acquire
                 for i, (label, url) in enumerate(urls.items())}
        other = limits_hit(via_sentinel)
        if other:
            calls["limits redis+sentinel://"] = other
        for label, rate in zip(calls, rates_side_by_side(list(calls.values()), options.seconds * len(calls))):
            print("one thread, %-26s %9.0f decisions/s (%.1f us each)" % (label, rate, 1e6 / rate))
        if not other:
            print("(limits with redis-py is not installed: pip install -r bench/requirements-compare.txt)")
        async_limiters = {label: limiter(quellgate.AsyncRateLimiter, url, "async%d" % i)
                          for i, (label, url) in enumerate(urls.items())}
        rates = tasks_side_by_side([each.acquire for each in async_limiters.values()], options.seconds)
        for label, rate in zip(async_limiters, rates):
            print("100 asyncio tasks, %-19s %9.0f decisions/s" % (label, rate))
    finally:
        for process in processes:
            process.kill()
            process.wait()
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
