"""Keys (`limiter[key]`): what a key costs, next to what it is compared with.

One function per scenario, each printing its own rows, so that rows for keys
kept in shared memory or at a Redis server can be added beside these:

  view          view.acquire() on a view made once, against the un-keyed
                acquire() of the same limiter (target: at most 1.5x).
  rotating      limiter[k].acquire() over 100,000 keys in turn, against the
                `limits` package's FixedWindowRateLimiter over its
                MemoryStorage hitting the same keys (target: at least 10x
                faster; `pip install -r bench/requirements-compare.txt`).
  memory        1,000,000 live keys with one window: resident memory per key
                (target: at most 150 bytes), and that it comes back once the
                window has rolled over and the next calls are made. Waits for
                a window of WINDOW seconds to start and to end (up to about
                2 * WINDOW seconds).

    python bench/bench_keys.py [--number N] [--repeat R] [--only NAME ...]
"""

import argparse
import time
import timeit

import quellgate

HUGE = 2**63
ROTATING_KEYS = 100_000
MEMORY_KEYS = 1_000_000
WINDOW = 10  # seconds: the memory scenario's window, which it waits to roll over

VIEW_TARGET = 1.5
ROTATING_TARGET = 10.0
BYTES_PER_KEY_TARGET = 150


def best_ns_per_call(stmt, namespace, number, repeat):
    timer = timeit.Timer(stmt, globals=namespace)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def verdict(ok):
    return "ok" if ok else "MISSED"


def row(label, value, unit, note=""):
    print("  %-58s %12.1f %-6s %s" % (label, value, unit, note))


def view_scenario(args):
    limiter = quellgate.RateLimiter(sec=HUGE, blocking=False)
    view = limiter["bench"]
    plain = best_ns_per_call("acquire()", {"acquire": limiter.acquire}, args.number, args.repeat)
    keyed = best_ns_per_call("acquire()", {"acquire": view.acquire}, args.number, args.repeat)
    print("view made once")
    row("acquire() un-keyed", plain, "ns")
    row("view.acquire()", keyed, "ns", "%.2fx (target <= %.1fx: %s)" % (keyed / plain, VIEW_TARGET,
                                                                       verdict(keyed / plain <= VIEW_TARGET)))


def rotating_keys():
    return ["user:%d" % i for i in range(ROTATING_KEYS)]


def rotating_scenario(args):
    keys = rotating_keys()
    limiter = quellgate.RateLimiter(day=HUGE, blocking=False)

    def ours():
        for key in keys:
            limiter[key].acquire()

    ours_ns = min(timeit.repeat(ours, number=1, repeat=args.repeat)) / len(keys) * 1e9
    print("rotating over %d keys" % len(keys))
    row("limiter[k].acquire()", ours_ns, "ns")
    try:
        from limits import RateLimitItemPerDay
        from limits.storage import MemoryStorage
        from limits.strategies import FixedWindowRateLimiter
    except ImportError:
        print("  limits is not installed: pip install -r bench/requirements-compare.txt")
        return
    item = RateLimitItemPerDay(10**12)
    theirs_limiter = FixedWindowRateLimiter(MemoryStorage())

    def theirs():
        for key in keys:
            theirs_limiter.hit(item, key)

    theirs_ns = min(timeit.repeat(theirs, number=1, repeat=args.repeat)) / len(keys) * 1e9
    ratio = theirs_ns / ours_ns
    row("limits FixedWindowRateLimiter(MemoryStorage).hit(item, k)", theirs_ns, "ns",
        "%.1fx slower (target >= %.0fx: %s)" % (ratio, ROTATING_TARGET, verdict(ratio >= ROTATING_TARGET)))


def resident_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def sleep_until_window_start(length, margin=0.05):
    now = time.time()
    time.sleep(length - now % length + margin)


def memory_scenario(args):
    limiter = quellgate.RateLimiter(sec=10, sec_window=WINDOW, blocking=False)
    limiter["warm"].acquire()
    sleep_until_window_start(WINDOW)
    window = int(time.time()) // WINDOW
    before = resident_bytes()
    started = time.perf_counter()
    for i in range(MEMORY_KEYS):
        limiter["k%07d" % i].acquire()
    elapsed = time.perf_counter() - started
    grown = resident_bytes()
    if int(time.time()) // WINDOW != window:
        print("memory: the keys took longer than one %d s window: no figure" % WINDOW)
        return
    per_key = (grown - before) / MEMORY_KEYS
    sleep_until_window_start(WINDOW)
    for i in range(1000):
        limiter["next%d" % i].acquire()
    after = resident_bytes()
    print("%d live keys, one window" % MEMORY_KEYS)
    row("first calls, each on a new key", elapsed / MEMORY_KEYS * 1e9, "ns")
    row("resident memory per live key", per_key, "bytes",
        "(target <= %d: %s)" % (BYTES_PER_KEY_TARGET, verdict(per_key <= BYTES_PER_KEY_TARGET)))
    back = (grown - after) / max(grown - before, 1)
    row("given back after the rollover and 1,000 calls", back * 100, "%",
        "(%.1f MB -> %.1f MB: %s)" % (grown / 1e6, after / 1e6, verdict(back >= 0.9)))


SCENARIOS = {"view": view_scenario, "rotating": rotating_scenario, "memory": memory_scenario}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--number", type=int, default=200_000, help="calls per timing loop")
    parser.add_argument("--repeat", type=int, default=5, help="timing loops; the best is kept")
    parser.add_argument("--only", nargs="*", choices=sorted(SCENARIOS), help="scenarios to run (default: all)")
    args = parser.parse_args()
    for name in args.only or SCENARIOS:
        SCENARIOS[name](args)


if __name__ == "__main__":
    main()
