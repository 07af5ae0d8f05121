"""Limiters shared through a Redis Cluster: names spread over its masters,
each exact across processes; a slot migrated mid-run; remove_shared on
every master; a master lost and replaced by its replica (last: the cluster
keeps its new shape)."""

import asyncio
import multiprocessing
import threading
import time

import pytest

import quellgate
from cluster_servers import cluster, redis_cli  # noqa: F401 (cluster is the module's fixture)
from quellgate import AsyncRateLimiter, RateLimiter

NEVER_ROLLS_OVER = 2**40
LIMIT = 25


def fixed(cls, name, url, limit, **keywords):
    return cls.shared(name, sec=limit, sec_window=NEVER_ROLLS_OVER, storage=url, **keywords)


def slot_of(cluster, name):
    return int(cluster.live()[0].call("CLUSTER", "KEYSLOT", "quellgate:{%s}:config" % name))


def take_all(process, names, url, tries):
    """Threads on some names and asyncio tasks on the others, changing with
    the process: how many of `tries` each name admitted here."""
    admitted = {}

    def threads(name):
        limiter = fixed(RateLimiter, name, url, LIMIT, blocking=False)
        outcomes = []
        workers = [threading.Thread(target=lambda: outcomes.extend(limiter.acquire() for _ in range(tries // 2)))
                   for _ in range(2)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        admitted[name] = sum(outcomes)

    async def tasks(names):
        limiters = [fixed(AsyncRateLimiter, name, url, LIMIT, blocking=False) for name in names]
        outcomes = await asyncio.gather(*[asyncio.gather(*[limiter.acquire() for _ in range(tries)])
                                          for limiter in limiters])
        admitted.update((name, sum(o is not None for o in got)) for name, got in zip(names, outcomes))

    threaded = [name for i, name in enumerate(names) if (i + process) % 2 == 0]
    workers = [threading.Thread(target=threads, args=(name,)) for name in threaded]
    for worker in workers:
        worker.start()
    asyncio.run(tasks([name for name in names if name not in threaded]))
    for worker in workers:
        worker.join()
    return admitted


def test_names_on_every_master_are_each_exact_across_processes(cluster):
    names = ["qgcluster.spread.%d" % i for i in range(12)]
    assert len({cluster.owner_of(slot_of(cluster, name)) for name in names}) == 3
    with multiprocessing.get_context("spawn").Pool(4) as pool:
        admitted = pool.starmap(take_all, [(process, names, cluster.url, 12) for process in range(4)])
    assert {name: sum(each[name] for each in admitted) for name in names} == {name: LIMIT for name in names}
    for name in names:
        quellgate.remove_shared(name, storage=cluster.url)


def migrate(cluster, slot, source, target):
    """Moves the slot's keys one at a time, with a pause after each, so that
    decisions meet it split between the two masters (TRYAGAIN) and wholly at
    the target before the cluster says so (ASK)."""
    (source_id, source_port), (target_id, target_port) = source, target
    redis_cli(target_port, "CLUSTER", "SETSLOT", slot, "IMPORTING", source_id)
    redis_cli(source_port, "CLUSTER", "SETSLOT", slot, "MIGRATING", target_id)
    while True:
        keys = redis_cli(source_port, "CLUSTER", "GETKEYSINSLOT", slot, 10).split()
        if not keys:
            break
        redis_cli(source_port, "MIGRATE", "127.0.0.1", target_port, "", 0, 5000, "KEYS", keys[0])
        time.sleep(0.3)
    time.sleep(0.3)
    for port in [target_port, source_port] + [p for i, (p, _) in cluster.masters().items() if i not in source + target]:
        redis_cli(port, "CLUSTER", "SETSLOT", slot, "NODE", target_id)


def asking_calls(port):
    stats = redis_cli(port, "INFO", "commandstats")
    line = next((line for line in stats.splitlines() if line.startswith("cmdstat_asking:")), "calls=0,")
    return int(line.split("calls=")[1].split(",")[0])


def test_a_slot_migrated_mid_run_keeps_every_decision_going(cluster):
    name, limit = "qgcluster.moving", 400
    slot = slot_of(cluster, name)
    source = cluster.owner_of(slot)
    target = next((node_id, port) for node_id, (port, _) in cluster.masters().items() if node_id != source[0])
    asked_before = asking_calls(target[1])
    sync = fixed(RateLimiter, name, cluster.url, limit, blocking=False, storage_timeout=3)
    tasks = fixed(AsyncRateLimiter, name, cluster.url, limit, blocking=False, storage_timeout=3)
    admitted, failures, done = [], [], threading.Event()

    def threads():
        while not done.is_set():
            try:
                admitted.append(sync.acquire())
            except quellgate.StorageError as error:
                failures.append(error)

    async def coroutines():
        async def one():
            while not done.is_set():
                try:
                    admitted.append(await tasks.acquire() is not None)
                except quellgate.StorageError as error:
                    failures.append(error)
        await asyncio.gather(*[one() for _ in range(20)])

    workers = [threading.Thread(target=threads) for _ in range(2)]
    workers.append(threading.Thread(target=lambda: asyncio.run(coroutines())))
    for worker in workers:
        worker.start()
    try:
        time.sleep(0.2)
        migrate(cluster, slot, source, target)
        time.sleep(0.2)
    finally:
        done.set()
        for worker in workers:
            worker.join()
    assert failures == []
    assert len(admitted) > limit and sum(admitted) == limit
    assert cluster.owner_of(slot) == target
    assert asking_calls(target[1]) > asked_before, "no decision was sent with ASKING"
    assert sync.get_remaining() == {"second": 0}
    quellgate.remove_shared(name, storage=cluster.url)


def test_remove_shared_removes_a_names_keys_on_every_master(cluster):
    names = ["qgcluster.remove.%d" % i for i in range(6)]
    for name in names:
        limiter = fixed(RateLimiter, name, cluster.url, 5)
        assert limiter.acquire() and limiter["user-1"].acquire()

    def holding():
        return {port: redis_cli(port, "--scan", "--pattern", "quellgate:{qgcluster.remove.*").split()
                for port, _ in cluster.masters().values()}

    assert sum(bool(keys) for keys in holding().values()) >= 2
    for name in names:
        quellgate.remove_shared(name, storage=cluster.url)
    assert holding() == {port: [] for port in holding()}


def test_a_lost_master_is_replaced_by_its_replica_and_calls_recover(cluster):
    name, timeout = "qgcluster.failover", 2
    slot = slot_of(cluster, name)
    lost_id, lost_port = cluster.owner_of(slot)
    sync = fixed(RateLimiter, name, cluster.url, 10**6, storage_timeout=timeout)
    tasks = fixed(AsyncRateLimiter, name, cluster.url, 10**6, storage_timeout=timeout)
    assert sync.acquire()
    recovered = {}

    def until_admitted(kind, call):
        while True:
            try:
                if call():
                    recovered[kind] = time.monotonic()
                    return
            except quellgate.StorageError:
                pass
            if time.monotonic() - killed > 60:
                return

    async def one_task():
        return await tasks.acquire() == ()

    cluster.node(lost_port).stop()
    killed = time.monotonic()
    workers = [threading.Thread(target=until_admitted, args=("threads", sync.acquire)),
               threading.Thread(target=until_admitted, args=("asyncio", lambda: asyncio.run(one_task())))]
    for worker in workers:
        worker.start()
    while cluster.owner_of(slot)[0] == lost_id:
        assert time.monotonic() - killed < 60, "no replica took over"
        time.sleep(0.05)
    promoted = time.monotonic()
    for worker in workers:
        worker.join()
    assert sorted(recovered) == ["asyncio", "threads"]
    # Loose: the failover itself, then at most one call's timeout, and room for a busy machine.
    assert max(recovered.values()) - promoted < timeout + 3
    assert cluster.owner_of(slot)[1] != lost_port
