"""CPU while callers wait for a burst permit.

First table: callers wait on a full hour window (hour=1), with and without
max_burst=1: tasks of one event loop and threads. With max_burst=1, the
first waiter takes the permit and holds it while it waits for the window,
so every other waiter waits for a burst permit. Target: with max_burst no
more than twice the CPU without it.

Second table: threads waiting for the one permit of max_burst=1, on an
in-process limiter and on a shared one (RateLimiter.shared): "turns" has
600 threads each taking the permit, holding it 5 ms and giving it back, over
and over; "idle" has 1,000 threads waiting while the permit stays held.
Target: shared waiting costs at most twice the in-process figure plus 1 %
of a core.

Each case runs in a child process, which exits with its waiters still
blocked.

    python bench/bench_burst_waits.py [--only hour|shared]
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


def permit_case(mode, count, shared, settle, seconds):
    import os

    import quellgate

    if shared:
        name = "bench_burst_waits.%d" % os.getpid()
        limiter = quellgate.RateLimiter.shared(name, sec=2**40, max_burst=1)
        quellgate.remove_shared(name)  # the mapping lives on; the name goes now
    else:
        limiter = quellgate.RateLimiter(sec=2**40, max_burst=1)
    taken = []

    def take_turns():
        while True:
            limiter.acquire()
            taken.append(1)
            time.sleep(0.005)
            limiter.release()

    if mode == "idle":
        limiter.acquire()
    for _ in range(count):
        threading.Thread(target=take_turns if mode == "turns" else limiter.acquire, daemon=True).start()
    time.sleep(settle)
    before, start, turns_before = cpu_seconds(), time.perf_counter(), len(taken)
    time.sleep(seconds)
    used, elapsed = cpu_seconds() - before, time.perf_counter() - start
    turns = len(taken) - turns_before
    if mode == "idle":
        assert turns == 0, "a waiter was admitted"
    return 100.0 * used / elapsed, turns / elapsed


def child(mode, count, burst, settle, seconds):
    if mode in ("turns", "idle"):
        cpu, turns = permit_case(mode, count, burst, settle, seconds)
        print(json.dumps({"cpu_percent": cpu, "turns_per_second": turns}), flush=True)
        import os

        os._exit(0)
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
    parser.add_argument("--turn-threads", type=int, default=600)
    parser.add_argument("--idle-threads", type=int, default=1_000)
    parser.add_argument("--only", choices=("hour", "shared"))
    parser.add_argument("--child", nargs=3, metavar=("MODE", "COUNT", "BURST"), help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        mode, count, burst = options.child
        child(mode, int(count), burst == "1", options.settle, options.seconds)
    if options.only != "shared":
        hour_table(options)
    if options.only != "hour":
        shared_table(options)


def run_child(options, mode, count, flag):
    command = [sys.executable, __file__, "--child", mode, str(count), flag,
               "--settle", str(options.settle), "--seconds", str(options.seconds)]
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def shared_table(options):
    for mode, count in (("turns", options.turn_threads), ("idle", options.idle_threads)):
        local, shared = run_child(options, mode, count, "0"), run_child(options, mode, count, "1")
        bound = 2 * local["cpu_percent"] + 1
        turns = ""
        if mode == "turns":
            turns = " (%.0f and %.0f turns/s)" % (local["turns_per_second"], shared["turns_per_second"])
        print("%6d threads %-5s: %5.2f %% of a core in-process, %5.2f %% shared%s; target <= %.2f %%: %s"
              % (count, mode, local["cpu_percent"], shared["cpu_percent"], turns, bound,
                 "met" if shared["cpu_percent"] <= bound else "NOT met"))


def hour_table(options):
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
