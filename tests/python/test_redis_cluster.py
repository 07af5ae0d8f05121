"""Limiters shared through a Redis Cluster: names spread over its masters,
each exact across processes; a slot migrated mid-run; remove_shared on
every master; a master lost and replaced by its replica (last: the cluster
keeps its new shape)."""

import asyncio
import multiprocessing
import threading
import time

import quellgate
from cluster_servers import cluster, redis_cli  # noqa: F401 (cluster is the module's fixture)
from helpers import linux_only_module
from quellgate import AsyncRateLimiter, RateLimiter

linux_only_module("the Redis store (Windows builds have none)")

LIMIT = 25


def fixed(cls, name, url, limit, **keywords):
    """A limiter of `limit` places in a window that never rolls over."""
    return cls.shared(name, sec=limit, sec_window=2**40, storage=url, blocking=False, **keywords)


def slot_of(cluster, name):
    return int(redis_cli(cluster.ports[0], "CLUSTER", "KEYSLOT", "quellgate:{%s}:config" % name))


def in_threads(*bodies):
    workers = [threading.Thread(target=body) for body in bodies]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()


def take_all(process, names, url, tries):
    """Two threads on some names and asyncio tasks on the others, changing
    with the process: how many of `tries` each name admitted here."""
    threaded = [name for i, name in enumerate(names) if (i + process) % 2 == 0]
    admitted = {name: [] for name in names}

    async def tasks():
        for name in set(names) - set(threaded):
            limiter = fixed(AsyncRateLimiter, name, url, LIMIT)
            got = await asyncio.gather(*[limiter.acquire() for _ in range(tries)])
            admitted[name] = [outcome is not None for outcome in got]

    def threads(name):
        limiter = fixed(RateLimiter, name, url, LIMIT)
        in_threads(*[lambda: admitted[name].extend(limiter.acquire() for _ in range(tries // 2))] * 2)

    in_threads(lambda: asyncio.run(tasks()), *[lambda name=name: threads(name) for name in threaded])
    return {name: sum(got) for name, got in admitted.items()}


def test_names_on_every_master_are_each_exact_across_processes(cluster):
    names = ["qgcluster.spread.%d" % i for i in range(12)]
    assert len({cluster.owner_of(slot_of(cluster, name)) for name in names}) == 3
    with multiprocessing.get_context("spawn").Pool(4) as pool:
        admitted = pool.starmap(take_all, [(process, names, cluster.url, 12) for process in range(4)])
    assert {name: sum(each[name] for each in admitted) for name in names} == {name: LIMIT for name in names}


def migrate(cluster, slot, source, target):
    """Moves the slot's keys one at a time, pausing after each, so that
    decisions meet it split between the two masters (TRYAGAIN) and wholly at
    the target before the cluster says so (ASK)."""
    redis_cli(target[1], "CLUSTER", "SETSLOT", slot, "IMPORTING", source[0])
    redis_cli(source[1], "CLUSTER", "SETSLOT", slot, "MIGRATING", target[0])
    while redis_cli(source[1], "CLUSTER", "GETKEYSINSLOT", slot, 1):
        key = redis_cli(source[1], "CLUSTER", "GETKEYSINSLOT", slot, 1)
        assert redis_cli(source[1], "MIGRATE", "127.0.0.1", target[1], "", 0, 5000, "KEYS", key) == "OK"
        time.sleep(0.3)
    time.sleep(0.3)
    for port, _ in [cluster.masters()[target[0]]] + list(cluster.masters().values()):
        redis_cli(port, "CLUSTER", "SETSLOT", slot, "NODE", target[0])


def asking_calls(port):
    stats = redis_cli(port, "INFO", "commandstats")
    return sum(int(line.split("calls=")[1].split(",")[0]) for line in stats.splitlines()
               if line.startswith("cmdstat_asking:"))


def test_a_slot_migrated_mid_run_keeps_every_decision_going(cluster):
    name, limit = "qgcluster.moving", 400
    slot = slot_of(cluster, name)
    source = cluster.owner_of(slot)
    target = next((node_id, port) for node_id, (port, _) in cluster.masters().items() if node_id != source[0])
    asked_before = asking_calls(target[1])
    sync = fixed(RateLimiter, name, cluster.url, limit, storage_timeout=3)
    tasks = fixed(AsyncRateLimiter, name, cluster.url, limit, storage_timeout=3)
    admitted, failures, done = [], [], threading.Event()

    def threads():
        while not done.is_set():
            try:
                admitted.append(sync.acquire())
            except quellgate.StorageError as error:
                failures.append(error)

    async def coroutine():
        while not done.is_set():
            try:
                admitted.append(await tasks.acquire() is not None)
            except quellgate.StorageError as error:
                failures.append(error)

    async def coroutines():
        await asyncio.gather(*[coroutine() for _ in range(20)])

    def migrating():
        time.sleep(0.2)
        migrate(cluster, slot, source, target)
        time.sleep(0.2)
        done.set()

    in_threads(threads, threads, lambda: asyncio.run(coroutines()), migrating)
    assert failures == []
    assert len(admitted) > limit and sum(admitted) == limit
    assert cluster.owner_of(slot) == target
    assert asking_calls(target[1]) > asked_before, "no decision was sent with ASKING"
    assert sync.get_remaining() == {"second": 0}


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
    assert not any(holding().values())


def test_a_lost_master_is_replaced_by_its_replica_and_calls_recover(cluster):
    name, timeout = "qgcluster.failover", 2
    slot = slot_of(cluster, name)
    lost_id, lost_port = cluster.owner_of(slot)
    sync = fixed(RateLimiter, name, cluster.url, 10**6, storage_timeout=timeout)
    tasks = fixed(AsyncRateLimiter, name, cluster.url, 10**6, storage_timeout=timeout)
    assert sync.acquire()
    recovered, promoted = {}, []

    def until_admitted(kind, call):
        while kind not in recovered and time.monotonic() - killed < 60:
            try:
                if call():
                    recovered[kind] = time.monotonic()
            except quellgate.StorageError:
                pass

    async def one_task():
        return await tasks.acquire() == ()

    def watching():
        while cluster.owner_of(slot)[0] == lost_id and time.monotonic() - killed < 60:
            time.sleep(0.05)
        promoted.append(time.monotonic())

    cluster.kill(lost_port)
    killed = time.monotonic()
    in_threads(lambda: until_admitted("threads", sync.acquire), watching,
               lambda: until_admitted("asyncio", lambda: asyncio.run(one_task())))
    assert cluster.owner_of(slot)[1] != lost_port, "no replica took over"
    assert sorted(recovered) == ["asyncio", "threads"]
    # Loose: the failover, then at most one call's timeout, and room for a busy machine.
    assert max(recovered.values()) - promoted[0] < timeout + 3
