"""Cost per call of the synchronous RateLimiter, next to a threading.Lock.

Every figure comes from one run on one interpreter: timeit-style loops over
bound methods, the best of several repeats, printed as nanoseconds per call
and as a ratio to the floor that any lock-based limiter has to pay, a
threading.Lock acquire(False) plus release() pair. The last section runs two
threads against one limiter and compares their combined admission rate with
one thread's. The shared rows run the same calls on limiters opened with
RateLimiter.shared (counts in this host's shared memory), each against its
in-process row.

    python bench/bench_sync.py [--number N] [--repeat R] [--seconds S]
"""

import argparse
import os
import sys
import threading
import time
import timeit

import quellgate

HUGE = 2**63
# Longer than the epoch is old, so the single place is never given back.
NEVER_ROLLS_OVER = 2**40

TARGETS = {
    "admitted acquire()": 1.25,
    "four windows + burst: acquire()+release()": 1.75,
}
# A shared row's target is a ratio to the in-process row it repeats.
SHARED_TARGETS = {
    "shared: admitted acquire()": ("admitted acquire()", 1.5),
    "shared: four windows + burst: acquire()+release()": ("four windows + burst: acquire()+release()", 1.5),
}
SHARED_NAME = "bench_sync.%d" % os.getpid()


def best_ns_per_call(stmt, setup, namespace, number, repeat):
    timer = timeit.Timer(stmt, setup, globals=namespace)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def single_thread_cases():
    """(label, statement, setup, namespace) for each measured call."""
    lock = threading.Lock()
    admitting = quellgate.RateLimiter(sec=HUGE, blocking=False)
    refusing = quellgate.RateLimiter(sec=1, sec_window=NEVER_ROLLS_OVER, blocking=False)
    assert refusing.acquire() is True and refusing.acquire() is False
    context = quellgate.RateLimiter(sec=HUGE, blocking=False)
    four = quellgate.RateLimiter(sec=HUGE, min=HUGE, hour=HUGE, day=HUGE, max_burst=HUGE, blocking=False)
    four_blocking = quellgate.RateLimiter(sec=HUGE, min=HUGE, hour=HUGE, day=HUGE, max_burst=HUGE)
    shared = quellgate.RateLimiter.shared(SHARED_NAME + ".one", sec=HUGE, blocking=False)
    shared_four = quellgate.RateLimiter.shared(
        SHARED_NAME + ".four", sec=HUGE, min=HUGE, hour=HUGE, day=HUGE, max_burst=HUGE, blocking=False
    )
    return [
        ("threading.Lock acquire(False)+release()", "acquire(False); release()",
         "acquire = lock.acquire; release = lock.release", {"lock": lock}),
        ("admitted acquire()", "acquire()", "acquire = limiter.acquire", {"limiter": admitting}),
        ("refused acquire()", "acquire()", "acquire = limiter.acquire", {"limiter": refusing}),
        ("get_remaining()", "get_remaining()", "get_remaining = limiter.get_remaining", {"limiter": admitting}),
        ("with limiter: pass", "with target: pass", "target = limiter", {"limiter": context}),
        ("four windows + burst: acquire()+release()", "acquire(); release()",
         "acquire = limiter.acquire; release = limiter.release", {"limiter": four}),
        ("same, blocking limiter", "acquire(); release()",
         "acquire = limiter.acquire; release = limiter.release", {"limiter": four_blocking}),
        ("shared: admitted acquire()", "acquire()", "acquire = limiter.acquire", {"limiter": shared}),
        ("shared: four windows + burst: acquire()+release()", "acquire(); release()",
         "acquire = limiter.acquire; release = limiter.release", {"limiter": shared_four}),
    ]


def admissions_per_second(limiter, threads, seconds):
    """Combined admissions per second of `threads` threads acquiring at once."""
    start = threading.Barrier(threads + 1)
    counts = [0] * threads
    stop_at = [0.0]

    def worker(index):
        acquire = limiter.acquire
        clock = time.perf_counter
        done = 0
        start.wait()
        deadline = stop_at[0]
        while clock() < deadline:
            for _ in range(200):
                acquire()
            done += 200
        counts[index] = done

    workers = [threading.Thread(target=worker, args=(index,)) for index in range(threads)]
    for thread in workers:
        thread.start()
    began = time.perf_counter()
    stop_at[0] = began + seconds
    start.wait()
    for thread in workers:
        thread.join()
    elapsed = time.perf_counter() - began
    return sum(counts) / elapsed


def report_single_thread(number, repeat):
    results = []
    for label, stmt, setup, namespace in single_thread_cases():
        results.append((label, best_ns_per_call(stmt, setup, namespace, number, repeat)))
    for suffix in (".one", ".four"):
        quellgate.remove_shared(SHARED_NAME + suffix)
    floor = results[0][1]
    by_label = dict(results)
    print("%-50s %12s %10s %8s" % ("operation (per loop iteration)", "ns/call", "x Lock", "target"))
    for label, ns in results:
        verdict = ""
        if label in TARGETS:
            target = TARGETS[label]
            verdict = "<=%.2fx %s" % (target, "met" if ns / floor <= target else "MISSED")
        elif label in SHARED_TARGETS:
            base, target = SHARED_TARGETS[label]
            ratio = ns / by_label[base]
            verdict = "%.2fx in-process, <=%.2fx %s" % (ratio, target, "met" if ratio <= target else "MISSED")
        print("%-50s %12.1f %9.2fx %s" % (label, ns, ns / floor, verdict))


def report_threads(seconds, repeat):
    print()
    print("two threads on one limiter (RateLimiter(sec=2**63, blocking=False).acquire)")
    rates = {}
    for threads in (1, 2):
        rates[threads] = max(
            admissions_per_second(quellgate.RateLimiter(sec=HUGE, blocking=False), threads, seconds)
            for _ in range(max(1, repeat // 2))
        )
        print("  %d thread%s: %14.0f admissions/s" % (threads, "" if threads == 1 else "s", rates[threads]))
    print("  two threads / one thread: %.2fx" % (rates[2] / rates[1]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=200000, help="calls per timing loop")
    parser.add_argument("--repeat", type=int, default=7, help="timing loops; the best one counts")
    parser.add_argument("--seconds", type=float, default=1.0, help="length of each threaded run")
    args = parser.parse_args()
    print("CPython %s, quellgate from %s" % (sys.version.split()[0], quellgate.__file__))
    print("best of %d loops of %d calls" % (args.repeat, args.number))
    print()
    report_single_thread(args.number, args.repeat)
    report_threads(args.seconds, args.repeat)


if __name__ == "__main__":
    main()
