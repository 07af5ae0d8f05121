"""quellgate over a Redis Cluster (3 masters on this host) next to one Redis
server, and `limits` (over redis-py) on both, side by side in one run.

Rows:
- a decision's cost: admitted acquire() from 1 thread, and asyncio with 100
  tasks, on one name; cluster / single server in cost (target <= 1.1x);
- throughput: 4 processes, each one thread going round 64 names, all
  admitted; cluster / single server in admissions per second (target: at
  least 1x). Every process, server and node shares this host's cores, so a
  cluster can only lose here: its gain is more server cores than one
  redis-server can use, which a machine of 2 cores does not have.

    python bench/bench_redis_cluster.py [--seconds S]

It starts one redis-server and a cluster of three masters (no replicas) of
its own on free loopback ports, and stops them by PID.
"""

import argparse
import asyncio
import multiprocessing
import os
import random
import shutil
import socket
import subprocess
import tempfile
import time

import limits
import limits.aio
import quellgate

HUGE = 2**62
NAMES = 64
PROCESSES = 4


def free_port():
    """Free, and so is its cluster bus port, 10000 above."""
    while True:
        port = random.randrange(20000, 55535)
        try:
            for taken in (port, port + 10000):
                with socket.socket() as probe:
                    probe.bind(("127.0.0.1", taken))
            return port
        except OSError:
            continue


def redis_cli(port, *args):
    return subprocess.run(["redis-cli", "-p", str(port), *map(str, args)], capture_output=True, text=True).stdout


class Servers:
    """One plain redis-server and a cluster of three masters."""

    def __enter__(self):
        self.directory = tempfile.mkdtemp(prefix="bench_redis_cluster.")
        self.ports = [free_port() for _ in range(4)]
        self.processes = []
        for i, port in enumerate(self.ports):
            cluster = ["--cluster-enabled", "yes", "--cluster-config-file", "nodes-%d.conf" % port] if i else []
            self.processes.append(subprocess.Popen(
                [shutil.which("redis-server"), "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                 "--appendonly", "no", "--dir", self.directory, *cluster], stdout=subprocess.DEVNULL))
        while any(redis_cli(port, "PING").strip() != "PONG" for port in self.ports):
            time.sleep(0.05)
        subprocess.run(["redis-cli", "--cluster", "create", *("127.0.0.1:%d" % p for p in self.ports[1:]),
                        "--cluster-yes"], check=True, capture_output=True)
        while any("cluster_state:ok" not in redis_cli(p, "CLUSTER", "INFO") for p in self.ports[1:]):
            time.sleep(0.1)
        # `limits` takes the same URL forms.
        return {"single": "redis://127.0.0.1:%d" % self.ports[0],
                "cluster": "redis+cluster://127.0.0.1:%d,127.0.0.1:%d" % tuple(self.ports[1:3])}

    def __exit__(self, *exc):
        for process in self.processes:
            process.kill()
            process.wait()
        shutil.rmtree(self.directory, ignore_errors=True)


def rates_side_by_side(calls, seconds, rounds=20):
    """Calls per second of each, measured in alternating slices so that a
    busy moment of a shared machine falls on all alike."""
    done, spent = [0] * len(calls), [0.0] * len(calls)
    for _ in range(rounds):
        for i, call in enumerate(calls):
            started = time.perf_counter()
            deadline = started + seconds / rounds
            while time.perf_counter() < deadline:
                for _ in range(20):
                    call()
                done[i] += 20
            spent[i] += time.perf_counter() - started
    return [count / elapsed for count, elapsed in zip(done, spent)]


def quellgate_acquires(url, names):
    limiters = [quellgate.RateLimiter.shared(name, sec=HUGE, storage=url) for name in names]
    return [limiter.acquire for limiter in limiters]


def limits_hits(url, names):
    limiter = limits.strategies.FixedWindowRateLimiter(limits.storage.storage_from_string(url))
    item = limits.RateLimitItemPerSecond(HUGE)
    return [lambda name=name: limiter.hit(item, name) for name in names]


LIBRARIES = {"quellgate": quellgate_acquires, "limits": limits_hits}


def one_thread_row(urls, library, seconds):
    name = "bench_cluster.%d.one" % os.getpid()
    single, cluster = (LIBRARIES[library](urls[kind], [name])[0] for kind in ("single", "cluster"))
    return rates_side_by_side([single, cluster], seconds)


async def tasks_rate(acquire, seconds, tasks=100):
    count = 0
    deadline = time.perf_counter() + seconds

    async def worker():
        nonlocal count
        while time.perf_counter() < deadline:
            await acquire()
            count += 1

    started = time.perf_counter()
    await asyncio.gather(*[worker() for _ in range(tasks)])
    return count / (time.perf_counter() - started)


def tasks_row(urls, library, seconds):
    name = "bench_cluster.%d.tasks" % os.getpid()
    rates = []
    for kind in ("single", "cluster"):
        if library == "quellgate":
            limiter = quellgate.AsyncRateLimiter.shared(name, sec=HUGE, storage=urls[kind])
            rates.append(asyncio.run(tasks_rate(limiter.acquire, seconds)))
            continue

        async def run(url=urls[kind]):
            storage = limits.storage.storage_from_string("async+" + url, implementation="redispy")
            strategy = limits.aio.strategies.FixedWindowRateLimiter(storage)
            item = limits.RateLimitItemPerSecond(HUGE)
            return await tasks_rate(lambda: strategy.hit(item, name), seconds)

        rates.append(asyncio.run(run()))
    return rates


def round_robin(library, url, start_at, seconds, results):
    calls = LIBRARIES[library](url, ["bench_cluster.names.%d" % i for i in range(NAMES)])
    for call in calls:
        call()
    time.sleep(max(0.0, start_at - time.time()))
    count, deadline = 0, start_at + seconds
    while time.time() < deadline:
        for call in calls:
            call()
        count += len(calls)
    results.put(count)


def processes_rate(library, url, seconds):
    ctx = multiprocessing.get_context("spawn")
    results = ctx.Queue()
    start_at = time.time() + 3.0
    workers = [ctx.Process(target=round_robin, args=(library, url, start_at, seconds, results))
               for _ in range(PROCESSES)]
    for worker in workers:
        worker.start()
    total = sum(results.get(timeout=seconds + 60) for _ in workers)
    for worker in workers:
        worker.join()
    return total / seconds


def processes_row(urls, library, seconds):
    return [processes_rate(library, urls[kind], seconds) for kind in ("single", "cluster")]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    options = parser.parse_args()
    rows = []
    with Servers() as urls:
        for library in ("quellgate", "limits"):
            rows.append((library, "1 thread: cost", *one_thread_row(urls, library, options.seconds), True))
            rows.append((library, "asyncio 100 tasks: cost", *tasks_row(urls, library, options.seconds), True))
            rows.append((library, "%d processes x %d names" % (PROCESSES, NAMES),
                         *processes_row(urls, library, options.seconds), False))
    print("%-10s %-26s %12s %12s %16s %s" % ("library", "row", "single/s", "cluster/s", "cluster vs single", "target"))
    for library, row, single, cluster, is_cost in rows:
        if is_cost:
            ratio, target, text = single / cluster, 1.1, "cost %.2fx" % (single / cluster)
            met = ratio <= target
        else:
            ratio, target, text = cluster / single, 1.0, "rate %.2fx" % (cluster / single)
            met = ratio >= target
        verdict = ("met" if met else "MISSED") if library == "quellgate" else ""
        goal = ("<= %.1fx" if is_cost else ">= %.1fx") % target if library == "quellgate" else ""
        print("%-10s %-26s %12.0f %12.0f %16s %s %s" % (library, row, single, cluster, text, goal, verdict))


if __name__ == "__main__":
    main()
