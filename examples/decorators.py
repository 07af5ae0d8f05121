"""quellgate limiters as decorators, for plain functions and for coroutine
functions, blocking and non-blocking.

Run with `python3 examples/decorators.py`; it takes about six seconds.
"""
from __future__ import annotations

import asyncio
import threading
import time
from typing import List

from quellgate import AsyncRateLimiter, RateLimiter

from local_http import print_tally, start_on_a_fresh_second

CALLS = 7
PER_SECOND = 3

sync_admissions: List[float] = []
async_admissions: List[float] = []


# Every call of `lookup` is admitted first; the wrapper passes the arguments
# through and returns the function's result. Calls from several threads share
# the limiter's windows.
@RateLimiter(sec=PER_SECOND)
def lookup(word: str, *, shout: bool = False) -> str:
    sync_admissions.append(time.time())
    return word.upper() if shout else word


# The asynchronous decorator returns a Future per call. The admission waits on
# quellgate's executor; after it, the coroutine runs on the caller's event loop.
@AsyncRateLimiter(sec=PER_SECOND)
async def describe(n: int, **fields: str) -> str:
    async_admissions.append(time.time())
    await asyncio.sleep(0)  # stands for real asynchronous work
    return "%d: %s" % (n, ", ".join("%s=%s" % item for item in fields.items()))


# A non-blocking limiter refuses at once instead of waiting: the synchronous
# wrapper raises ValueError("Failed to acquire permit"), the asynchronous one
# fails its Future with ValueError("Rate limit exceeded").
@RateLimiter(sec=1, blocking=False)
def ping() -> str:
    return "pong"


@AsyncRateLimiter(sec=1, blocking=False)
async def aping() -> str:
    return "apong"


def sync_part() -> None:
    results: List[str] = []
    threads = [
        threading.Thread(target=lambda n=n: results.append(lookup("word%d" % n, shout=n % 2 == 0)))
        for n in range(CALLS)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print("sync results:", sorted(results))
    print("sync:", end=" ")
    print_tally(sync_admissions, {"second": PER_SECOND})

    print("non-blocking sync:", ping(), end="; ")
    try:
        ping()
    except ValueError as refusal:
        print("second call refused:", refusal)


async def async_part() -> None:
    # Keyword arguments reach the coroutine in the caller's order.
    lines = await asyncio.gather(*(describe(n, colour="red", size="L", kind="shirt") for n in range(CALLS)))
    print("async results:", lines[0], "...", lines[-1])
    print("async:", end=" ")
    print_tally(async_admissions, {"second": PER_SECOND})

    print("non-blocking async:", await aping(), end="; ")
    try:
        await aping()
    except ValueError as refusal:
        print("second call refused:", refusal)


def main() -> None:
    start_on_a_fresh_second()
    sync_part()
    start_on_a_fresh_second()
    asyncio.run(async_part())


if __name__ == "__main__":
    main()
