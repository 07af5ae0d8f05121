"""RateLimiter on one thread: admission, reports, context manager and decorator."""

import gc
import sys
import time
import weakref

import pytest

import quellgate
from helpers import expected_rollover, in_one_window, sleep_until_fresh_second

RateLimiter = quellgate.RateLimiter
HUGE = 2**63


# -- acquire, get_remaining, wait_time ----------------------------------------


def test_non_blocking_limiter_refuses_once_the_window_is_full():
    def run():
        limiter = RateLimiter(sec=2, blocking=False)
        results = [limiter.acquire(), limiter.acquire(), limiter.acquire()]
        before = time.time()
        return results, limiter.get_remaining(), limiter.wait_time(), before

    results, remaining, wait, before = in_one_window(run)
    assert results == [True, True, False]
    assert remaining == {"second": 0}
    assert type(wait) is float
    assert 0.001 <= wait <= expected_rollover(1, before) - before + 0.01


def test_blocking_acquire_waits_for_the_next_second():
    started_in = sleep_until_fresh_second()
    limiter = RateLimiter(sec=2)
    assert limiter.acquire() is True
    assert limiter.acquire() is True
    assert limiter.acquire() is True
    admitted_at = time.time()
    assert admitted_at >= started_in + 1
    assert admitted_at < started_in + 10
    assert limiter.get_remaining() == {"second": 1}


def test_refused_attempt_counts_in_no_window_and_holds_no_permit():
    def run():
        limiter = RateLimiter(sec=5, min=3, max_burst=10, blocking=False)
        results = [limiter.acquire() for _ in range(4)]
        return results, limiter.get_remaining()

    results, remaining = in_one_window(run, lengths=(1, 60))
    assert results == [True, True, True, False]
    assert remaining == {"second": 2, "minute": 0, "burst": 7}


def test_window_rollover_restores_the_whole_limit():
    def run():
        limiter = RateLimiter(sec=3, blocking=False)
        return limiter, [limiter.acquire() for _ in range(4)]

    limiter, results = in_one_window(run)
    assert results == [True, True, True, False]
    sleep_until_fresh_second()
    assert limiter.get_remaining() == {"second": 3}
    assert limiter.wait_time() is None
    assert limiter.acquire() is True


def test_burst_permits_cap_concurrent_holders_until_released():
    limiter = RateLimiter(sec=HUGE, max_burst=2, blocking=False)
    assert [limiter.acquire(), limiter.acquire(), limiter.acquire()] == [True, True, False]
    assert limiter.get_remaining() == {"second": HUGE - 2, "burst": 0}
    assert limiter.release() is None
    assert limiter.get_remaining() == {"second": HUGE - 2, "burst": 1}
    assert limiter.acquire() is True
    assert limiter.acquire() is False


def test_remaining_report_tracks_acquire_and_release():
    for _ in range(3):
        # Run again if an hour rollover reset the count in the middle.
        hour = int(time.time()) // 3600
        limiter = RateLimiter(hour=10, max_burst=3)
        first = limiter.get_remaining()
        limiter.acquire()
        second = limiter.get_remaining()
        limiter.release()
        third = limiter.get_remaining()
        if int(time.time()) // 3600 == hour:
            break
    assert first == {"hour": 10, "burst": 3}
    assert second == {"hour": 9, "burst": 2}
    assert third == {"hour": 9, "burst": 3}


def test_release_never_gives_back_window_capacity():
    limiter = RateLimiter(day=2, blocking=False)
    assert limiter.acquire() is True
    assert limiter.release() is None
    assert limiter.release() is None
    assert limiter.get_remaining() == {"day": 1}
    assert limiter.acquire() is True
    limiter.release()
    assert limiter.acquire() is False


def test_extra_releases_never_let_burst_exceed_max_burst():
    limiter = RateLimiter(sec=HUGE, max_burst=2, blocking=False)
    for _ in range(5):
        limiter.release()
    assert limiter.get_remaining()["burst"] == 2
    assert [limiter.acquire(), limiter.acquire(), limiter.acquire()] == [True, True, False]
    for _ in range(4):
        limiter.release()
    assert limiter.get_remaining()["burst"] == 2
    assert [limiter.acquire(), limiter.acquire(), limiter.acquire()] == [True, True, False]


def test_wait_time_is_none_while_any_capacity_is_free():
    limiter = RateLimiter(sec=HUGE, max_burst=1, blocking=False)
    assert limiter.wait_time() is None
    assert limiter.acquire() is True
    assert limiter.acquire() is False
    # Burst permits do not count: wait_time only looks at the windows.
    assert limiter.wait_time() is None


def test_wait_time_reports_the_earliest_full_window():
    def run():
        limiter = RateLimiter(sec=1, min=1, blocking=False)
        limiter.acquire()
        before = time.time()
        return limiter.wait_time(), before

    wait, before = in_one_window(run, lengths=(1, 60))
    assert 0.001 <= wait <= expected_rollover(1, before) - before + 0.01


def test_get_remaining_returns_a_fresh_dict_of_ints():
    limiter = RateLimiter(sec=4, day=9, max_burst=2)
    report = limiter.get_remaining()
    assert type(report) is dict
    assert all(type(key) is str and type(value) is int for key, value in report.items())
    report["second"] = 0
    report["extra"] = 1
    assert limiter.get_remaining() == {"second": 4, "day": 9, "burst": 2}
    assert limiter.get_remaining() is not limiter.get_remaining()


def test_limiters_do_not_share_state():
    first = RateLimiter(day=1, blocking=False)
    second = RateLimiter(day=1, blocking=False)
    assert first.acquire() is True
    assert second.acquire() is True
    assert first.get_remaining() == second.get_remaining() == {"day": 0}


# -- context manager ----------------------------------------------------------


def test_with_binds_none_and_exit_returns_false():
    limiter = RateLimiter(sec=HUGE, max_burst=1)
    with limiter as bound:
        assert bound is None
        assert limiter.get_remaining()["burst"] == 0
    assert limiter.get_remaining()["burst"] == 1
    assert limiter.__enter__() is None
    assert limiter.__exit__(None, None, None) is False
    assert limiter.get_remaining()["burst"] == 1


def test_refused_with_raises_before_the_body_and_skips_exit():
    def run():
        limiter = RateLimiter(sec=1, max_burst=5, blocking=False)
        body_ran = []
        with limiter:
            burst_inside = limiter.get_remaining()["burst"]
            try:
                with limiter:
                    body_ran.append(True)
            except ValueError as error:
                refusal = error
            burst_after_refusal = limiter.get_remaining()["burst"]
        return body_ran, refusal, burst_inside, burst_after_refusal, limiter.get_remaining()

    body_ran, refusal, burst_inside, burst_after_refusal, remaining = in_one_window(run)
    assert body_ran == []
    assert type(refusal) is ValueError
    assert refusal.args == ("Failed to acquire permit",)
    assert burst_inside == 4
    # An __exit__ for the refused block would have given a permit back here.
    assert burst_after_refusal == 4
    assert remaining == {"second": 0, "burst": 5}


def test_exception_in_with_body_propagates_and_permit_comes_back():
    limiter = RateLimiter(sec=HUGE, max_burst=1)
    problem = RuntimeError("inside")
    with pytest.raises(RuntimeError) as info:
        with limiter:
            raise problem
    assert info.value is problem
    assert limiter.get_remaining()["burst"] == 1
    assert limiter.acquire() is True


def test_blocking_with_waits_for_a_window():
    started_in = sleep_until_fresh_second()
    limiter = RateLimiter(sec=1)
    with limiter:
        pass
    with limiter:
        entered_at = time.time()
    assert entered_at >= started_in + 1


# -- decorator ----------------------------------------------------------------


def test_wrapper_passes_arguments_and_returns_the_result():
    calls = []

    def work(*args, **kwargs):
        calls.append((args, kwargs))
        return ("result", args, kwargs)

    wrapper = RateLimiter(sec=HUGE)(work)
    assert wrapper() == ("result", (), {})
    assert wrapper(1, "two", three=3) == ("result", (1, "two"), {"three": 3})
    marker = object()
    assert wrapper(marker)[1][0] is marker
    assert calls == [((), {}), ((1, "two"), {"three": 3}), ((marker,), {})]


def test_wrapper_propagates_exceptions_and_gives_the_permit_back():
    problem = LookupError("from inside")

    def failing():
        raise problem

    limiter = RateLimiter(sec=HUGE, max_burst=1, blocking=False)
    wrapper = limiter(failing)
    for _ in range(3):
        with pytest.raises(LookupError) as info:
            wrapper()
        assert info.value is problem
        assert limiter.get_remaining()["burst"] == 1
    assert limiter.get_remaining()["second"] == HUGE - 3


def test_wrapper_gives_the_permit_back_after_success():
    limiter = RateLimiter(sec=HUGE, max_burst=1, blocking=False)
    seen = []
    wrapper = limiter(lambda: seen.append(limiter.get_remaining()["burst"]))
    wrapper()
    wrapper()
    assert seen == [0, 0]
    assert limiter.get_remaining()["burst"] == 1


def test_wrapper_accepts_any_object_and_fails_only_when_called():
    limiter = RateLimiter(sec=HUGE, max_burst=1)
    wrapper = limiter(42)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        wrapper()
    assert limiter.get_remaining()["burst"] == 1


def test_refused_wrapper_call_does_not_call_the_function():
    def run():
        calls = []
        limiter = RateLimiter(sec=1, blocking=False)
        wrapper = limiter(lambda: calls.append(1))
        wrapper()
        try:
            wrapper()
            refusal = None
        except ValueError as error:
            refusal = error
        return calls, refusal

    calls, refusal = in_one_window(run)
    assert calls == [1]
    assert type(refusal) is ValueError
    assert refusal.args == ("Failed to acquire permit",)


def test_wrapper_and_direct_acquires_share_windows():
    def run():
        limiter = RateLimiter(sec=3, blocking=False)
        first, second = limiter(lambda: "a"), limiter(lambda: "b")
        outcomes = [first(), limiter.acquire(), second()]
        try:
            first()
        except ValueError:
            outcomes.append("refused")
        outcomes.append(limiter.acquire())
        return outcomes

    assert in_one_window(run) == ["a", True, "b", "refused", False]


def test_wrapper_outlives_its_limiter():
    def run():
        wrapper = RateLimiter(sec=2, blocking=False)(lambda x: x * 2)
        gc.collect()
        outcomes = [wrapper(1), wrapper(2)]
        try:
            wrapper(3)
        except ValueError as error:
            outcomes.append(error.args)
        return outcomes

    assert in_one_window(run) == [2, 4, ("Failed to acquire permit",)]


def test_blocking_wrapper_waits_for_a_window():
    started_in = sleep_until_fresh_second()
    wrapper = RateLimiter(sec=1)(time.time)
    wrapper()
    assert wrapper() >= started_in + 1


def test_wrapper_releases_its_function_when_dropped():
    def work():
        return 1

    alive = weakref.ref(work)
    wrapper = RateLimiter(sec=HUGE)(work)
    del work
    gc.collect()
    assert alive() is not None
    assert wrapper() == 1
    del wrapper
    gc.collect()
    assert alive() is None


def test_calls_do_not_leak_references():
    argument, keyword, result = object(), object(), object()
    limiter = RateLimiter(sec=HUGE, max_burst=5)

    def work(arg, key=None):
        return result

    wrapper = limiter(work)
    before = [sys.getrefcount(obj) for obj in (argument, keyword, result, work)]
    for _ in range(200):
        assert wrapper(argument, key=keyword) is result
        limiter.acquire()
        limiter.release()
        with limiter:
            pass
        limiter.get_remaining()
        limiter.wait_time()
    gc.collect()
    after = [sys.getrefcount(obj) for obj in (argument, keyword, result, work)]
    assert after == before
