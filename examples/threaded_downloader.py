"""Eight threads download 25 pages while one RateLimiter keeps them to
10 requests per second and 500 per minute.

Run with `python3 examples/threaded_downloader.py`. It starts its own HTTP
server on 127.0.0.1 and finishes in about three seconds.
"""
from __future__ import annotations

import time
import urllib.request
from concurrent.futures import ThreadPoolExecutor
from typing import List, Tuple

from quellgate import RateLimiter

from local_http import LocalServer, print_tally, start_on_a_fresh_second

PAGES = 25
THREADS = 8

# One limiter shared by every thread: the limits hold for all of them together.
limiter = RateLimiter(sec=10, min=500)

# No proxy: the server is on this machine, whatever http_proxy says.
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def download(url: str) -> Tuple[float, int, bytes]:
    """Fetches `url` once admitted; returns the admission time, status and body."""
    with limiter:  # waits here, with the GIL released, while the windows are full
        admitted_at = time.time()
        with opener.open(url, timeout=10) as response:
            return admitted_at, response.status, response.read()


def main() -> None:
    with LocalServer() as server:
        urls = [server.url("/page/%d" % n) for n in range(PAGES)]
        start_on_a_fresh_second()
        started = time.monotonic()
        with ThreadPoolExecutor(max_workers=THREADS) as pool:
            results = list(pool.map(download, urls))
        elapsed = time.monotonic() - started

    admitted_at: List[float] = [admitted for admitted, _, _ in results]
    ok = sum(1 for _, status, _ in results if status == 200)
    print("%d of %d responses were 200 OK, in %.2f s with %d threads" % (ok, PAGES, elapsed, THREADS))
    print_tally(admitted_at, {"second": 10, "minute": 500})
    print("remaining at the end:", limiter.get_remaining())


if __name__ == "__main__":
    main()
