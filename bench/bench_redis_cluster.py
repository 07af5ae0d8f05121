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
import time

import limits
import limits.aio
import quellgate
from redis_servers import RedisCluster, RedisServer
from redis_timing import rates_side_by_side, tasks_rate

HUGE = 2**62
NAMES = 64
PROCESSES = 4


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
    with RedisServer() as single, RedisCluster() as cluster:
        urls = {"single": single, "cluster": cluster}  # `limits` takes the same URL forms
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
