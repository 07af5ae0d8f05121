"""A small tour of quellgate: run with `python3 examples/quickstart.py`."""
from __future__ import annotations

import asyncio
import threading
import time
from typing import List

from quellgate import AsyncRateLimiter, RateLimiter


def main() -> None:
    # Three calls per second, at most two held at once.
    limiter = RateLimiter(sec=3, max_burst=2)
    started = time.monotonic()
    for i in range(7):
        limiter.acquire()  # blocks, with the GIL released, until a permit is free
        print("call %d admitted at %.2fs, remaining %s" % (i, time.monotonic() - started, limiter.get_remaining()))
        limiter.release()  # gives the burst permit back (window capacity stays used)

    # Non-blocking: refuses at once instead of waiting.
    quick = RateLimiter(sec=2, blocking=False)
    print("non-blocking:", [quick.acquire() for _ in range(3)], "wait_time:", quick.wait_time())

    # As a context manager and as a decorator, shared by several threads.
    shared = RateLimiter(sec=5)

    @shared
    def fetch(n: int) -> int:
        return n * n

    results: List[int] = []
    threads = [threading.Thread(target=lambda n=n: results.append(fetch(n))) for n in range(10)]
    begun = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("10 decorated calls at 5/s took %.2fs: %s" % (time.monotonic() - begun, sorted(results)))
    with shared:
        print("inside a with block; remaining", shared.get_remaining())


async def async_tour() -> None:
    # The asyncio class returns Futures; the waiting happens off the event loop.
    limiter = AsyncRateLimiter(sec=2, max_burst=1)
    started = time.monotonic()
    for i in range(3):
        async with limiter:  # binds (), admitted; the burst permit goes back on exit
            print("async call %d admitted at %.2fs" % (i, time.monotonic() - started))
    print("async remaining:", await limiter.get_remaining(), "wait_time:", await limiter.wait_time())
    quick = AsyncRateLimiter(sec=1, blocking=False)
    print("async non-blocking:", [await quick.acquire(), await quick.acquire()])  # [(), None]


if __name__ == "__main__":
    main()
    asyncio.run(async_tour())
