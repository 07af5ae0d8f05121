"""How the Redis benchmarks time their rows, so that every script sets its
contenders side by side the same way: from one thread in alternating slices,
and from 100 asyncio tasks in alternating runs."""

import asyncio
import time


def rates_side_by_side(calls, seconds, rounds=20):
    """Calls per second of each callable, measured in alternating slices so
    that a busy moment of a shared machine falls on all alike."""
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


async def tasks_rate(acquire, seconds, tasks=100):
    """Awaited calls per second of `tasks` tasks, each awaiting acquire() in
    turn until the seconds are up."""
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


def tasks_side_by_side(acquires, seconds, rounds=4):
    """tasks_rate() of each async callable, in alternating runs of its own
    event loop, as the thread rows' slices."""
    rates = [0.0] * len(acquires)
    for _ in range(rounds):
        for i, acquire in enumerate(acquires):
            rates[i] += asyncio.run(tasks_rate(acquire, seconds / rounds)) / rounds
    return rates
