"""RateLimiter shared between Python threads."""

import collections
import threading
import time

import quellgate
from helpers import sleep_until_fresh_second

RateLimiter = quellgate.RateLimiter
HUGE = 2**63


def run_threads(count, target):
    errors = []

    def guarded(index):
        try:
            target(index)
        except BaseException as error:  # reported to the test thread below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(index,)) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
        assert not thread.is_alive(), "a worker thread never finished"
    assert errors == []


def test_other_threads_run_while_acquire_waits():
    sleep_until_fresh_second()
    limiter = RateLimiter(sec=1)
    limiter.acquire()
    stamps = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.monotonic())
            time.sleep(0.005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        waiting_from = time.monotonic()
        assert limiter.acquire() is True
        waiting_until = time.monotonic()
    finally:
        stop.set()
        ticker.join()
    # The wait lasts until the next second starts: most of a second.
    assert waiting_until - waiting_from > 0.3
    during_wait = [stamp for stamp in stamps if waiting_from < stamp < waiting_until]
    assert len(during_wait) >= 3


def test_racing_non_blocking_threads_never_exceed_a_window_limit():
    limit = 20
    limiter = RateLimiter(sec=limit, blocking=False)
    attempts = []
    start = sleep_until_fresh_second()
    deadline = start + 2

    def hammer(_index):
        own = []
        while True:
            before = time.time()
            if before >= deadline:
                break
            admitted = limiter.acquire()
            own.append((before, time.time(), admitted))
        attempts.extend(own)

    run_threads(4, hammer)
    # An admission lies between the clock reads around its call; only calls
    # that did not straddle a second boundary can be placed in one window.
    per_second = collections.Counter(
        int(before) for before, after, admitted in attempts if admitted and int(before) == int(after)
    )
    assert per_second, "nothing was admitted"
    assert max(per_second.values()) <= limit, per_second
    admitted_total = sum(1 for attempt in attempts if attempt[2])
    seconds_touched = int(max(after for _, after, _ in attempts)) - start + 1
    assert admitted_total <= limit * seconds_touched
    # Every second that the threads spent wholly inside was filled to the limit.
    assert per_second[start] == limit


def test_blocking_threads_spread_admissions_over_windows():
    limit, threads, each = 5, 3, 4
    limiter = RateLimiter(sec=limit)
    stamps = []
    start = sleep_until_fresh_second()

    def worker(_index):
        for _ in range(each):
            limiter.acquire()
            stamps.append(time.time())

    run_threads(threads, worker)
    assert len(stamps) == threads * each
    # Started just after a whole second, admissions come in bursts right after
    # each rollover, far from the next boundary, so the stamp taken on return
    # falls in the window that admitted it.
    per_second = collections.Counter(int(stamp) for stamp in stamps)
    assert max(per_second.values()) <= limit, per_second
    # Twelve admissions at five per window need at least three windows.
    assert int(max(stamps)) - start >= 2


def test_concurrent_counts_are_exact():
    for _ in range(3):
        day = int(time.time()) // 86400
        limiter = RateLimiter(day=HUGE, max_burst=3)

        def worker(_index):
            for _ in range(300):
                limiter.acquire()
                limiter.release()

        run_threads(4, worker)
        if int(time.time()) // 86400 == day:
            break
    assert limiter.get_remaining() == {"day": HUGE - 1200, "burst": 3}


def test_burst_permits_never_exceed_max_burst_across_threads():
    limiter = RateLimiter(sec=HUGE, max_burst=2)
    guard = threading.Lock()
    inside = [0]
    peak = [0]

    def worker(_index):
        for _ in range(10):
            with limiter:
                with guard:
                    inside[0] += 1
                    peak[0] = max(peak[0], inside[0])
                time.sleep(0.003)
                with guard:
                    inside[0] -= 1

    run_threads(4, worker)
    assert 1 <= peak[0] <= 2
    assert limiter.get_remaining() == {"second": HUGE - 40, "burst": 2}


def test_wrapper_calls_from_threads_share_the_burst_cap():
    limiter = RateLimiter(sec=HUGE, max_burst=1)
    guard = threading.Lock()
    inside = [0]
    overlaps = []

    def critical():
        with guard:
            inside[0] += 1
            if inside[0] > 1:
                overlaps.append(inside[0])
        time.sleep(0.002)
        with guard:
            inside[0] -= 1

    wrapper = limiter(critical)
    run_threads(3, lambda _index: [wrapper() for _ in range(10)])
    assert overlaps == []
    assert limiter.get_remaining() == {"second": HUGE - 30, "burst": 1}
