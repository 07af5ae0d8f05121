"""Support for the examples: a small HTTP server on 127.0.0.1 that the examples
start themselves, and a tally of admissions per epoch-aligned window.

Nothing here uses quellgate; the examples import it so that each of them shows
only the rate-limited client.
"""
from __future__ import annotations

import http.server
import math
import threading
import time
from typing import Dict, Iterable, List, Optional, Type
from types import TracebackType


class _ItemHandler(http.server.BaseHTTPRequestHandler):
    """Answers every GET with a short text body naming the requested path."""

    def do_GET(self) -> None:
        body = ("item at %s\n" % self.path).encode("ascii")
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: object) -> None:
        pass  # the examples print their own summary instead of an access log


class LocalServer:
    """An HTTP server on 127.0.0.1 (a free port) served by a background thread.

    Use it as a context manager: it serves inside the ``with`` block and is shut
    down when the block ends.
    """

    def __init__(self) -> None:
        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _ItemHandler)
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, name="local-http", daemon=True)

    @property
    def host(self) -> str:
        return "127.0.0.1"

    @property
    def port(self) -> int:
        return int(self._server.server_address[1])

    def url(self, path: str) -> str:
        return "http://%s:%d%s" % (self.host, self.port, path)

    def __enter__(self) -> LocalServer:
        self._thread.start()
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()


def start_on_a_fresh_second() -> None:
    """Sleeps until the next whole UTC second.

    quellgate's windows are aligned to the Unix epoch, so after this the first
    window has its whole second, and the tally printed at the end lines up with
    the limiter's own windows instead of splitting the first burst of
    admissions across a rollover that happens while they are being recorded.
    """
    now = time.time()
    time.sleep(math.floor(now) + 1 - now)


def admissions_per_window(admitted_at: Iterable[float], length: int) -> List[int]:
    """Counts admission times per epoch-aligned window of `length` seconds,
    from the first window that saw an admission to the last, including empty
    windows in between."""
    counts: Dict[int, int] = {}
    for instant in admitted_at:
        window = int(instant // length)
        counts[window] = counts.get(window, 0) + 1
    if not counts:
        return []
    return [counts.get(window, 0) for window in range(min(counts), max(counts) + 1)]


def print_tally(admitted_at: List[float], limits: Dict[str, int]) -> None:
    """Prints, per configured period, how many admissions each epoch-aligned
    window saw next to the limit, in a form that is easy to check by eye."""
    lengths = {"second": 1, "minute": 60, "hour": 3600, "day": 86400}
    for period, limit in limits.items():
        counts = admissions_per_window(admitted_at, lengths[period])
        print(
            "admissions per epoch %s: %s (limit %d)"
            % (period, " ".join(str(count) for count in counts), limit)
        )
