"""A small tour of quellgate.RateLimiter: run with `python examples/quickstart.py`."""
import threading
import time

from quellgate import RateLimiter


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

    results = []
    threads = [threading.Thread(target=lambda n=n: results.append(fetch(n))) for n in range(10)]
    begun = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("10 decorated calls at 5/s took %.2fs: %s" % (time.monotonic() - begun, sorted(results)))
    with shared:
        print("inside a with block; remaining", shared.get_remaining())


if __name__ == "__main__":
    main()
