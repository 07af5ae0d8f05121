"""Cost of a decorated call, next to the same call undecorated.

A decorator's wrapper should cost what an admission costs and nothing more:
these rows time a decorated no-op under a limit that never fills, the best of
several repeats, in nanoseconds per call. The synchronous rows are timeit
loops; the asynchronous ones await the call one at a time on one loop
(uvloop when installed and asked for). A method row binds through an
instance on every call, as `obj.method()` does. Prints results; asserts
nothing.

    python bench/bench_decorator.py [--number N] [--repeat R] [--uvloop]
"""

import argparse
import asyncio
import time
import timeit

from quellgate import AsyncRateLimiter, RateLimiter

HUGE = 2**62


def noop():
    return None


async def async_noop():
    return None


def best_ns(stmt, namespace, number, repeat):
    return min(timeit.repeat(stmt, globals=namespace, number=number, repeat=repeat)) / number * 1e9


def method(self):
    return None


def sync_rows(number, repeat):
    limiter = RateLimiter(sec=HUGE)
    limited = limiter(noop)
    limited_method = limiter(method)

    class Client:
        get = limited_method

    client = Client()
    try:
        client.get()
        method_stmt = "client.get()"
    except TypeError:
        # A build whose wrapper does not bind: the instance passed by hand.
        method_stmt = "client.get(client)"
    namespace = {"noop": noop, "limited": limited, "client": client}
    return [
        ("undecorated noop()", best_ns("noop()", namespace, number, repeat)),
        ("RateLimiter: decorated noop()", best_ns("limited()", namespace, number, repeat)),
        ("RateLimiter: decorated method via instance", best_ns(method_stmt, namespace, number, repeat)),
    ]


async def awaited_ns(call, number, repeat):
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        for _ in range(number):
            await call()
        best = min(best, time.perf_counter() - started)
    return best / number * 1e9


async def async_rows(number, repeat):
    limiter = AsyncRateLimiter(sec=HUGE)
    limited_coroutine = limiter(async_noop)
    limited_plain = limiter(noop)
    await limited_coroutine()  # builds the executor outside the timing
    return [
        ("await async_noop()", await awaited_ns(async_noop, number, repeat)),
        ("AsyncRateLimiter: await decorated coroutine", await awaited_ns(limited_coroutine, number, repeat)),
        # A thread hand-off each: far fewer calls suffice.
        ("AsyncRateLimiter: await decorated plain function",
         await awaited_ns(limited_plain, max(1, number // 50), repeat)),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--number", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--uvloop", action="store_true")
    options = parser.parse_args()
    rows = sync_rows(options.number, options.repeat)
    run = asyncio.run
    if options.uvloop:
        import uvloop

        run = uvloop.run if hasattr(uvloop, "run") else (lambda main: (uvloop.install(), asyncio.run(main))[1])
    rows += run(async_rows(max(1, options.number // 10), options.repeat))
    width = max(len(name) for name, _ in rows)
    for name, ns in rows:
        print("%-*s %9.1f ns/call" % (width, name, ns))


if __name__ == "__main__":
    main()
