"""Releases, reports and connections of Redis-shared limiters, against a
redis-server this script starts (no persistence, a temporary directory, a
free loopback port) and stops by its PID.

release: 100 rounds of acquire() then release() on a non-blocking limiter
with max_burst=1, counting refused acquires; then 100 rounds of a task's
`async with` followed by a thread's acquire() through another limiter over
the same name; then 100 `with` blocks in a row on a blocking limiter, timed.
exit: 10 child interpreters each end an `async with` and exit; leases left
at the server are counted.
reports: four asyncio reports of a limiter whose server is SIGSTOPped
(storage_timeout=3) run beside an in-process AsyncRateLimiter that must wait
for its rollover (at most 1 s): how late it is admitted.
lost: a decision times out (server SIGSTOPped, storage_timeout=0.3,
lease=20); the server comes back; is the next acquire() admitted?
churn: 128 threads call acquire() for 5 s, resting 2 ms between calls;
connections opened, from the server's total_connections_received.
remaining: get_remaining() with max_burst on a SIGSTOPped server,
storage_timeout=1: how long until it raises.

    python bench/bench_redis_release.py [release|exit|reports|lost|churn|remaining ...]
"""

import asyncio
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import quellgate
from quellgate import AsyncRateLimiter, RateLimiter

HUGE = 2**40


def start_server():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen(
        [shutil.which("redis-server"), "--port", str(port), "--save", "", "--appendonly", "no",
         "--dir", tempfile.mkdtemp(prefix="bench_redis_release.")], stdout=subprocess.DEVNULL)
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return server, port
        except OSError:
            time.sleep(0.02)
    sys.exit("redis-server did not start")


def redis_cli(port, *args):
    return subprocess.run(["redis-cli", "-p", str(port), *map(str, args)], capture_output=True, text=True).stdout


def leases(port, name):
    return int(redis_cli(port, "ZCARD", "quellgate:{%s}:leases" % name).strip() or 0)


def connections_received(port):
    return int(redis_cli(port, "INFO", "stats").split("total_connections_received:")[1].split()[0])


def fixed(cls, name, url, **keywords):
    return cls.shared(name, sec=10**9, sec_window=HUGE, storage=url, **keywords)


def release(url, port):
    limiter = fixed(RateLimiter, "b.release", url, max_burst=1, blocking=False)
    refused = 0
    for _ in range(100):
        if limiter.acquire():
            limiter.release()
        else:
            refused += 1
    print("thread: acquire() after release() refused %d of 100" % refused)

    async def task_then_thread():
        task = fixed(AsyncRateLimiter, "b.task", url, max_burst=1)
        thread = fixed(RateLimiter, "b.task", url, max_burst=1, blocking=False)
        refused = 0
        for _ in range(100):
            async with task:
                pass
            if await asyncio.get_running_loop().run_in_executor(None, thread.acquire):
                thread.release()
            else:
                refused += 1
        return refused
    print("task's async with, then a thread's acquire() refused %d of 100" % asyncio.run(task_then_thread()))
    blocking = fixed(RateLimiter, "b.with", url, max_burst=1)
    started = time.perf_counter()
    for _ in range(100):
        with blocking:
            pass
    print("100 with blocks in a row: %.3f s" % (time.perf_counter() - started))


CHILD = """
import asyncio, sys
from quellgate import AsyncRateLimiter
async def main():
    async with AsyncRateLimiter.shared(sys.argv[1], sec=10**9, sec_window=2**40, max_burst=1, storage=sys.argv[2]):
        pass
asyncio.run(main())
"""


def exit_(url, port):
    left = 0
    for i in range(10):
        subprocess.run([sys.executable, "-c", CHILD, "b.exit.%d" % i, url], check=True)
        left += leases(port, "b.exit.%d" % i) > 0
    print("child exits after async with: lease left in %d of 10" % left)


def reports(url, port, server):
    async def main():
        shared = AsyncRateLimiter.shared("b.reports", sec=10, storage=url, storage_timeout=3)
        local = AsyncRateLimiter(sec=1)
        await local.acquire()
        os.kill(server.pid, signal.SIGSTOP)
        try:
            started = time.monotonic()
            pending = [shared.get_remaining() if i % 2 else shared.wait_time() for i in range(4)]
            await local.acquire()
            late = time.monotonic() - started
        finally:
            os.kill(server.pid, signal.SIGCONT)
        await asyncio.gather(*pending, return_exceptions=True)
        return late
    print("in-process AsyncRateLimiter admitted %.2f s after four stalled reports began (rollover <= 1 s)"
          % asyncio.run(main()))


def lost(url, port, server):
    limiter = fixed(RateLimiter, "b.lost", url, max_burst=1, blocking=False, storage_timeout=0.3, lease=20)
    os.kill(server.pid, signal.SIGSTOP)
    try:
        limiter.acquire()
    except quellgate.StorageError:
        pass
    finally:
        os.kill(server.pid, signal.SIGCONT)
    redis_cli(port, "PING")
    print("after a timed-out decision, the next acquire(): %s" % limiter.acquire())


def churn(url, port):
    limiter = fixed(RateLimiter, "b.churn", url, blocking=False, storage_timeout=5)
    before, stop, counts = connections_received(port), time.monotonic() + 5, []

    def calls():
        n = 0
        while time.monotonic() < stop:
            limiter.acquire()
            n += 1
            time.sleep(0.002)
        counts.append(n)
    threads = [threading.Thread(target=calls) for _ in range(128)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print("128 threads for 5 s: %d admissions, %d connections opened"
          % (sum(counts), connections_received(port) - before))


def remaining(url, port, server):
    limiter = RateLimiter.shared("b.remaining", sec=10, max_burst=2, storage=url, storage_timeout=1)
    os.kill(server.pid, signal.SIGSTOP)
    started = time.monotonic()
    try:
        limiter.get_remaining()
    except quellgate.StorageError:
        pass
    finally:
        os.kill(server.pid, signal.SIGCONT)
    print("get_remaining() with max_burst, server stopped, storage_timeout=1: %.2f s" % (time.monotonic() - started))


def main():
    chosen = sys.argv[1:] or ["release", "exit", "reports", "lost", "churn", "remaining"]
    server, port = start_server()
    url = "redis://127.0.0.1:%d" % port
    print("quellgate from %s" % quellgate.__file__)
    try:
        for step in chosen:
            runner = {"release": release, "exit": exit_, "churn": churn}.get(step)
            if runner:
                runner(url, port)
            else:
                {"reports": reports, "lost": lost, "remaining": remaining}[step](url, port, server)
    finally:
        server.kill()
        server.wait()


if __name__ == "__main__":
    main()
