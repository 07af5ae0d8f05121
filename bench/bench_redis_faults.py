"""Redis-shared limiters under contention and under server faults, against a
redis-server this script starts (`--save '' --appendonly no`, a temporary
directory, a free loopback port) and stops by its PID.

exact: 4 processes, each with 2 threads (non-blocking acquire() in a tight
loop) and 50 asyncio tasks (blocking acquire(), given up at the deadline),
hammer one limiter for --seconds. The Python API does not say which window
an admission counted in, so each one is stamped with the wall clock just
before and just after its call: the server is on this host and its TIME
reads the same clock, so an admission whose two stamps fall in one window
certainly counted in that window on the server. No window may hold more
such admissions than its limit (those straddling a rollover are reported,
not placed). Two readings of the limiter's own keys on the server back this
up: the second window's counter, read every 20 ms, never above the limit
(and how many seconds reached it, so the run is not vacuous); and a day
window of a limit nobody reaches, whose counter after the run must equal the
admissions the clients saw (each admission counted on the server exactly
once). Throughput is the server's EVALSHA calls per second (every decision,
admitted or not) and the admissions per second.

faults: (a) the server is SIGKILLed and restarted on its port mid-run: every
call during the outage must raise StorageError within storage_timeout +
100 ms, and the same limiters must admit again afterwards; (b) the server is
SIGSTOPped: every call must return within storage_timeout + 100 ms (a
timeout, not a hang); (c) a process holding all max_burst permits is
SIGKILLed: its permits must come back within lease + 1 s (and, while it
lived, its renewals must have kept them past lease).

    python bench/bench_redis_faults.py [exact|faults|all] [--seconds S]
        [--per-second N] [--storage-timeout T] [--lease L]
"""

import argparse
import asyncio
import multiprocessing
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import redis

import quellgate
from bench_shared import judge  # the same stamps method as the shared-memory run

HUGE = 2**62
PROCESSES, THREADS, TASKS = 4, 2, 50


class RedisServer:
    """One redis-server on a fixed free port, which can be killed, restarted,
    stopped and continued; always ended by its PID."""

    def __init__(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.url = "redis://127.0.0.1:%d" % self.port
        self.directory = tempfile.TemporaryDirectory(prefix="bench_redis_faults.")
        self.client = redis.Redis(port=self.port, socket_timeout=5)
        self.process = None

    def start(self):
        """Starts the server and returns the time it first answered PING;
        launched_at is when it was launched, before which it certainly
        did not answer."""
        self.launched_at = time.time()
        self.process = subprocess.Popen(
            [shutil.which("redis-server") or "redis-server", "--port", str(self.port), "--bind", "127.0.0.1",
             "--save", "", "--appendonly", "no", "--dir", self.directory.name],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        for _ in range(1000):
            try:
                self.client.ping()
                return time.time()
            except redis.ConnectionError:
                time.sleep(0.005)
        raise RuntimeError("redis-server did not answer on %s" % self.url)

    def kill(self):
        self.process.kill()
        self.process.wait()

    def signal(self, number):
        os.kill(self.process.pid, number)

    def close(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.kill()
            self.process.wait()
        self.directory.cleanup()


# ---------------------------------------------------------------------------
# exact
# ---------------------------------------------------------------------------


def shape(per_second):
    # The minute fills after 8 full seconds, so a run of 10 s can reach it too.
    return dict(sec=per_second, min=8 * per_second, day=HUGE)


def hammer_thread(limiter, deadline, stamps, attempts):
    acquire, clock = limiter.acquire, time.time
    mine, tries = [], 0
    while True:
        before = clock()
        if before >= deadline:
            break
        tries += 1
        if acquire():
            mine.append((before, clock()))
    stamps.extend(mine)
    attempts.append(tries)


GRACE = 1.5  # a wait for the second's rollover ends within this after the deadline


async def hammer_task(limiter, deadline, stamps, cancelled):
    clock = time.time
    while True:
        before = clock()
        if before >= deadline:
            return
        try:
            # Only a wait for the minute's rollover outlasts the grace; a
            # cancelled call may or may not have counted on the server.
            await asyncio.wait_for(limiter.acquire(), deadline + GRACE - before)
        except asyncio.TimeoutError:
            cancelled.append(before)
            return
        stamps.append((before, clock()))


def exact_process(name, url, per_second, start_at, seconds, queue):
    sync = quellgate.RateLimiter.shared(name, storage=url, blocking=False, **shape(per_second))
    stamps, attempts = [], []
    deadline = start_at + seconds
    time.sleep(max(0.0, start_at - time.time()))
    threads = [threading.Thread(target=hammer_thread, args=(sync, deadline, stamps, attempts)) for _ in range(THREADS)]
    for thread in threads:
        thread.start()

    async def tasks():
        limiter = quellgate.AsyncRateLimiter.shared(name, storage=url, **shape(per_second))
        task_stamps, cancelled = [], []
        await asyncio.gather(*(hammer_task(limiter, deadline, task_stamps, cancelled) for _ in range(TASKS)))
        return task_stamps, len(cancelled)

    task_stamps, cancelled = asyncio.run(tasks())
    for thread in threads:
        thread.join()
    queue.put((stamps, task_stamps, sum(attempts), cancelled))


def watch_second_window(client, key, stop, seen):
    """The second window's counter as the server holds it, every 20 ms."""
    while not stop.is_set():
        index, count = client.hmget(key, "i", "n")
        if index is not None:
            seen[int(index)] = max(seen.get(int(index), 0), int(count))
        stop.wait(0.02)


def evalsha_calls(client):
    return client.info("commandstats").get("cmdstat_evalsha", {}).get("calls", 0)


def exactness(server, seconds, per_second):
    name = "bench_redis_faults.exact.%d" % os.getpid()
    quellgate.remove_shared(name, storage=server.url)
    quellgate.RateLimiter.shared(name, storage=server.url, **shape(per_second))
    prefix = "quellgate:{%s}:window:" % name
    ctx = multiprocessing.get_context("spawn")
    queue = ctx.Queue()
    start_at = time.time() + 3.0  # every process started and connected by then
    children = [ctx.Process(target=exact_process, args=(name, server.url, per_second, start_at, seconds, queue))
                for _ in range(PROCESSES)]
    for child in children:
        child.start()
    seen, stop = {}, threading.Event()
    watcher = threading.Thread(target=watch_second_window,
                               args=(redis.Redis(port=server.port), prefix + "second:1", stop, seen))
    time.sleep(max(0.0, start_at - 0.3 - time.time()))
    calls_before = evalsha_calls(server.client)
    watcher.start()
    results = [queue.get(timeout=seconds + 120) for _ in children]
    calls = evalsha_calls(server.client) - calls_before
    stop.set()
    watcher.join()
    for child in children:
        child.join()
    day_index, day_count = server.client.hmget(prefix + "day:86400", "i", "n")
    quellgate.remove_shared(name, storage=server.url)

    thread_stamps = [s for stamps, _, _, _ in results for s in stamps]
    task_stamps = [s for _, stamps, _, _ in results for s in stamps]
    stamps = thread_stamps + task_stamps
    attempts = sum(result[2] for result in results) + len(task_stamps)
    cancelled = sum(result[3] for result in results)
    print("exact: %d processes x (%d threads + %d asyncio tasks), %.0f s, limits %d/s and %d/min"
          % (PROCESSES, THREADS, TASKS, seconds, per_second, 8 * per_second))
    print("  judged by: wall-clock stamps around every admission (server TIME is this host's clock),"
          " backed by the limiter's window keys read on the server")
    print("  admitted %d (%.0f/s: threads %d, tasks %d); thread attempts + task admissions %.0f/s"
          % (len(stamps), len(stamps) / seconds, len(thread_stamps), len(task_stamps), attempts / seconds))
    print("  server: %d EVALSHA calls, %.0f decisions/s" % (calls, calls / seconds))
    verdict = True
    for label, length, limit in (("second", 1, per_second), ("minute", 60, 8 * per_second)):
        worst, over, straddling = judge(stamps, length, limit)
        verdict &= over == 0
        print("  stamps, %-6s limit %6d: fullest window %6d, windows over the limit %d, straddling a rollover %d"
              % (label, limit, worst, over, straddling))
    full = sum(1 for count in seen.values() if count >= per_second)
    over = sum(1 for count in seen.values() if count > per_second)
    verdict &= over == 0
    print("  server's second counter over %d seconds read: highest %d, seconds that reached the limit %d, over it %d"
          % (len(seen), max(seen.values(), default=0), full, over))
    if day_index is not None and int(day_index) == int(time.time()) // 86400 == int(start_at) // 86400:
        counted = len(stamps) <= int(day_count) <= len(stamps) + cancelled
        verdict &= counted
        print("  server's day counter %d, admissions seen by the clients %d, task waits cancelled %.1f s after"
              " the deadline %d: %s" % (int(day_count), len(stamps), GRACE, cancelled,
                                        "each admission counted once" if counted else "MISMATCH"))
    else:
        print("  the run crossed midnight UTC (or the day key is gone): day counter not compared")
    print("  target, not one window over-admitted: %s" % ("met" if verdict else "MISSED"))
    return verdict


# ---------------------------------------------------------------------------
# faults
# ---------------------------------------------------------------------------


class Callers:
    """Two threads and ten asyncio tasks (on a loop in a third thread)
    calling acquire() every 5 ms on the same two limiters for the whole
    fault, each call recorded as (worker, start, end, outcome)."""

    PACE = 0.005

    def __init__(self, name, url, timeout):
        options = dict(sec=HUGE, storage=url, storage_timeout=timeout)
        self.sync = quellgate.RateLimiter.shared(name, **options)
        self.options, self.name = options, name
        self.calls, self.stop = [], threading.Event()
        self.threads = [threading.Thread(target=self.thread_worker, args=("thread%d" % i,)) for i in range(2)]
        self.threads.append(threading.Thread(target=lambda: asyncio.run(self.tasks())))

    def record(self, worker, started, outcome):
        self.calls.append((worker, started, time.time(), outcome))

    def thread_worker(self, worker):
        while not self.stop.is_set():
            started = time.time()
            try:
                self.sync.acquire()
                self.record(worker, started, "ok")
            except quellgate.StorageError:
                self.record(worker, started, "StorageError")
            except Exception as error:  # counted against the target, never hidden
                self.record(worker, started, type(error).__name__)
            time.sleep(self.PACE)

    async def tasks(self):
        limiter = quellgate.AsyncRateLimiter.shared(self.name, **self.options)

        async def task(worker):
            while not self.stop.is_set():
                started = time.time()
                try:
                    await limiter.acquire()
                    self.record(worker, started, "ok")
                except quellgate.StorageError:
                    self.record(worker, started, "StorageError")
                except Exception as error:
                    self.record(worker, started, type(error).__name__)
                await asyncio.sleep(self.PACE)

        await asyncio.gather(*(task("task%d" % i) for i in range(10)))

    def __enter__(self):
        for thread in self.threads:
            thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        for thread in self.threads:
            thread.join()

    def report(self, label, fault_at, fault_end, back_at, bound):
        """Judges the calls against a fault that certainly held from fault_at
        to fault_end; the server answered again at back_at."""
        during = [c for c in self.calls if fault_at <= c[1] < fault_end]
        inside = [c for c in during if c[2] <= fault_end]
        wrong = [c for c in inside if c[3] != "StorageError"]
        longest = max((end - start for _, start, end, _ in during), default=0.0)
        longest_all = max(end - start for _, start, end, _ in self.calls)
        others = sorted({c[3] for c in self.calls} - {"ok", "StorageError"})
        workers = sorted({c[0] for c in self.calls})
        first_ok = [min((c[2] for c in self.calls if c[0] == w and c[1] >= back_at and c[3] == "ok"), default=None)
                    for w in workers]
        recovered = all(t is not None for t in first_ok)
        after = [c for c in self.calls if c[1] >= back_at + 0.5]
        failing_after = sum(1 for c in after if c[3] != "ok")
        print("  %s: %.2f s; %d calls started in it, %d of those ended in it, %d of them not StorageError"
              % (label, fault_end - fault_at, len(during), len(inside), len(wrong)))
        print("    longest call started in it %.1f ms, longest call of the whole run %.1f ms (bound %.0f ms)"
              % (longest * 1e3, longest_all * 1e3, bound * 1e3))
        if recovered:
            print("    first admission after the server answered again: %.1f ms (slowest of %d workers);"
                  " %d of %d calls from 0.5 s on failed" % (max(t - back_at for t in first_ok) * 1e3, len(workers),
                                                          failing_after, len(after)))
        else:
            print("    some workers were never admitted again")
        for worker, start, end, outcome in wrong[:5]:
            print("    %s: %s, %.1f ms after the fault began, %.1f ms long" % (worker, outcome, (start - fault_at) * 1e3,
                                                                           (end - start) * 1e3))
        if others:
            print("    other exceptions raised: %s" % ", ".join(others))
        return not wrong and longest_all <= bound and recovered and not failing_after and not others


def restart_fault(server, timeout, outage):
    name = "bench_redis_faults.restart.%d" % os.getpid()
    with Callers(name, server.url, timeout) as callers:
        time.sleep(1.0)
        server.kill()
        dead_at = time.time()  # the kill was reaped: no call from here on can reach it
        time.sleep(outage)
        back_at = server.start()
        time.sleep(2.0)
    print("(a) server SIGKILLed, restarted on its port after %.1f s" % outage)
    met = callers.report("outage (from the kill reaped to the relaunch)", dead_at, server.launched_at, back_at,
                         timeout + 0.1)
    print("    target (StorageError within storage_timeout + 100 ms, admitted again, same limiters): %s"
          % ("met" if met else "MISSED"))
    return met


def stop_fault(server, timeout, stopped_for):
    name = "bench_redis_faults.stop.%d" % os.getpid()
    with Callers(name, server.url, timeout) as callers:
        time.sleep(1.0)
        server.signal(signal.SIGSTOP)
        stopped_at = time.time()
        time.sleep(stopped_for)
        continued_at = time.time()
        server.signal(signal.SIGCONT)
        server.client.ping()
        back_at = time.time()
        time.sleep(2.0)
    print("(b) server SIGSTOPped for %.1f s, then SIGCONT" % stopped_for)
    met = callers.report("stopped", stopped_at, continued_at, back_at, timeout + 0.1)
    print("    target (every call returns within storage_timeout + 100 ms, no hang): %s" % ("met" if met else "MISSED"))
    return met


BURST = 4


def hold_permits(name, url, lease, pipe):
    limiter = quellgate.RateLimiter.shared(name, sec=HUGE, max_burst=BURST, storage=url, lease=lease)
    for _ in range(BURST):
        limiter.acquire()
    pipe.send("held")
    time.sleep(3600)


def lease_fault(server, lease):
    name = "bench_redis_faults.lease.%d" % os.getpid()
    quellgate.remove_shared(name, storage=server.url)
    limiter = quellgate.RateLimiter.shared(name, sec=HUGE, max_burst=BURST, storage=server.url, lease=lease,
                                           blocking=False)
    ctx = multiprocessing.get_context("spawn")
    ours, theirs = ctx.Pipe()
    holder = ctx.Process(target=hold_permits, args=(name, server.url, lease, theirs))
    holder.start()
    ours.recv()
    # Alive for twice the lease: only its renewals keep the permits held.
    early = 0
    alive_until = time.time() + 2 * lease
    while time.time() < alive_until:
        if limiter.acquire():
            early += 1
            limiter.release()
        time.sleep(0.05)
    killed_at = time.time()
    os.kill(holder.pid, signal.SIGKILL)
    holder.join()
    back = []
    while len(back) < BURST and time.time() < killed_at + lease + 5:
        if limiter.acquire():
            back.append(time.time() - killed_at)
            continue
        time.sleep(0.01)
    for _ in back:
        limiter.release()
    quellgate.remove_shared(name, storage=server.url)
    print("(c) a process holding all %d permits (lease %.1f s) SIGKILLed after %.1f s alive" % (BURST, lease, 2 * lease))
    print("    permits taken by another process while the holder lived: %d" % early)
    if back:
        print("    permits back after the kill: first %.3f s, last (%d of %d) %.3f s (bound %.1f s)"
              % (back[0], len(back), BURST, back[-1], lease + 1))
    else:
        print("    no permit came back within lease + 5 s")
    met = len(back) == BURST and back[-1] <= lease + 1 and early == 0
    print("    target (permits back within lease + 1 s, kept while the holder lived): %s" % ("met" if met else "MISSED"))
    return met


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", nargs="?", choices=("exact", "faults", "all"), default="all")
    parser.add_argument("--seconds", type=float, default=10.0, help="length of the exactness run")
    parser.add_argument("--per-second", type=int, default=5000, help="the exactness run's limit per second")
    parser.add_argument("--storage-timeout", type=float, default=1.0)
    parser.add_argument("--outage", type=float, default=2.0, help="seconds the killed server stays down")
    parser.add_argument("--lease", type=float, default=3.0)
    options = parser.parse_args()
    print("CPython %s, quellgate from %s, %s" % (sys.version.split()[0], quellgate.__file__,
                                                subprocess.run(["redis-server", "--version"], capture_output=True,
                                                               text=True).stdout.split(" sha")[0]))
    server = RedisServer()
    verdicts = []
    try:
        server.start()
        if options.what in ("exact", "all"):
            verdicts.append(exactness(server, options.seconds, options.per_second))
        if options.what in ("faults", "all"):
            print("faults: storage_timeout %.1f s; 2 threads and 10 asyncio tasks calling acquire() every 5 ms"
                  % options.storage_timeout)
            verdicts.append(restart_fault(server, options.storage_timeout, options.outage))
            verdicts.append(stop_fault(server, options.storage_timeout, 2 * options.storage_timeout + 0.5))
            verdicts.append(lease_fault(server, options.lease))
    finally:
        server.close()
    sys.exit(0 if all(verdicts) else 1)


if __name__ == "__main__":
    main()
