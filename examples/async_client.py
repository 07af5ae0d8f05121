"""25 asyncio tasks fetch pages at once while one AsyncRateLimiter keeps them
to 10 requests per second and 500 per minute.

Run with `python3 examples/async_client.py`. It starts its own HTTP server on
127.0.0.1, uses only the standard library (the HTTP client below is built on
asyncio.open_connection) and finishes in about three seconds.
"""
from __future__ import annotations

import asyncio
import time
from typing import Dict, List, Tuple

from quellgate import AsyncRateLimiter

from local_http import LocalServer, print_tally, start_on_a_fresh_second

PAGES = 25


async def http_get(host: str, port: int, path: str) -> Tuple[int, bytes]:
    """One HTTP/1.1 GET on a fresh connection; returns the status and body."""
    reader, writer = await asyncio.open_connection(host, port)
    try:
        request = "GET %s HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n\r\n" % (path, host, port)
        writer.write(request.encode("ascii"))
        await writer.drain()
        response = await reader.read()  # the server closes the connection after the body
    finally:
        writer.close()
        await writer.wait_closed()
    head, _, body = response.partition(b"\r\n\r\n")
    status_line = head.split(b"\r\n", 1)[0]
    return int(status_line.split(b" ", 2)[1]), body


async def fetch(limiter: AsyncRateLimiter, server: LocalServer, path: str) -> Tuple[float, int]:
    # `async with` awaits the admission; the task is suspended meanwhile and
    # the wait itself runs on quellgate's executor, not on the event loop.
    async with limiter:
        admitted_at = time.time()
        status, _ = await http_get(server.host, server.port, path)
    return admitted_at, status


async def run(server: LocalServer) -> Tuple[List[Tuple[float, int]], Dict[str, int]]:
    limiter = AsyncRateLimiter(sec=10, min=500)
    results = await asyncio.gather(*(fetch(limiter, server, "/page/%d" % n) for n in range(PAGES)))
    return list(results), await limiter.get_remaining()


def main() -> None:
    with LocalServer() as server:
        start_on_a_fresh_second()
        started = time.monotonic()
        results, remaining = asyncio.run(run(server))
        elapsed = time.monotonic() - started

    ok = sum(1 for _, status in results if status == 200)
    print("%d of %d responses were 200 OK, in %.2f s with %d concurrent tasks" % (ok, PAGES, elapsed, PAGES))
    print_tally([admitted for admitted, _ in results], {"second": 10, "minute": 500})
    print("remaining at the end:", remaining)


if __name__ == "__main__":
    main()
