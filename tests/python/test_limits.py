"""Constructor validation: which configurations are refused, with what, in what order."""

import time

import pytest

import quellgate
from helpers import expected_rollover

RateLimiter = quellgate.RateLimiter
NO_LIMIT = "At least one rate limit must be specified"
LIMIT_KEYWORDS = [("sec", "second"), ("min", "minute"), ("hour", "hour"), ("day", "day")]


def message_of(cls, **kwargs):
    with pytest.raises(ValueError) as info:
        cls(**kwargs)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize("kwargs", [{}, {"max_burst": 5}, {"sec_window": 10}, {"blocking": False},
                                    {"sec_window": 0, "min_window": 0, "hour_window": 0, "day_window": 0},
                                    {"sec": None, "min": None, "hour": None, "day": None}])
def test_a_limiter_needs_at_least_one_limit(limiter_class, kwargs):
    assert message_of(limiter_class, **kwargs) == NO_LIMIT


@pytest.mark.parametrize("keyword, unit", LIMIT_KEYWORDS)
def test_zero_limit_names_its_period(limiter_class, keyword, unit):
    assert message_of(limiter_class, **{keyword: 0}) == "Rate limit for %s must be greater than 0" % unit


def test_first_zero_limit_in_period_order_is_reported(limiter_class):
    assert message_of(limiter_class, day=0, min=0, hour=0) == "Rate limit for minute must be greater than 0"
    assert message_of(limiter_class, day=0, sec=5, hour=0) == "Rate limit for hour must be greater than 0"


def test_limits_are_checked_before_max_burst(limiter_class):
    assert message_of(limiter_class, sec=0, max_burst=0) == "Rate limit for second must be greater than 0"
    assert message_of(limiter_class, max_burst=0) == NO_LIMIT
    assert message_of(limiter_class, hour=1, max_burst=0) == "max_burst must be greater than 0"


@pytest.mark.parametrize("keyword, _unit", LIMIT_KEYWORDS)
def test_zero_window_multiplier_with_its_limit_is_refused(limiter_class, keyword, _unit):
    kwargs = {keyword: 1, keyword + "_window": 0}
    assert message_of(limiter_class, **kwargs) == "%s_window must be greater than 0" % keyword


def test_window_check_sits_between_limit_checks_and_max_burst(limiter_class):
    assert message_of(limiter_class, sec=1, sec_window=0, min=0) == "Rate limit for minute must be greater than 0"
    assert message_of(limiter_class, sec=1, sec_window=0, max_burst=0) == "sec_window must be greater than 0"
    assert message_of(limiter_class, sec=1, sec_window=0, day=1, day_window=0) == "sec_window must be greater than 0"
    assert message_of(limiter_class, hour=1, hour_window=0, day=1, day_window=0) == (
        "hour_window must be greater than 0"
    )


def test_zero_window_multiplier_without_its_limit_has_no_effect():
    assert RateLimiter(min=2, sec_window=0, hour_window=0, day_window=0).get_remaining() == {"minute": 2}


def test_every_period_gets_its_own_window():
    limiter = RateLimiter(day=1000, hour=100, sec=3, min=20)
    assert limiter.get_remaining() == {"second": 3, "minute": 20, "hour": 100, "day": 1000}
    assert RateLimiter(day=1000, hour=100).get_remaining() == {"hour": 100, "day": 1000}


def test_valid_configurations_are_accepted(limiter_class):
    limiter_class(sec=1)
    limiter_class(day=1, max_burst=1)
    limiter_class(sec=2**64 - 1, min=2**64 - 1, hour=2**64 - 1, day=2**64 - 1, max_burst=2**64 - 1)
    limiter_class(sec=1, sec_window=1, min=1, min_window=1, hour=1, hour_window=1, day=1, day_window=1)


@pytest.mark.parametrize("keyword, unit", LIMIT_KEYWORDS)
def test_huge_window_multipliers_saturate_instead_of_failing(limiter_class, keyword, unit):
    limiter_class(**{keyword: 1, keyword + "_window": 2**64 - 1})
    limiter = RateLimiter(blocking=False, **{keyword: 1, keyword + "_window": 2**64 - 1})
    assert limiter.acquire() is True
    assert limiter.acquire() is False
    assert limiter.get_remaining() == {unit: 0}
    # A window that long cannot roll over within any lifetime.
    assert limiter.wait_time() > 100 * 365 * 86400


def assert_window_ends_at_aligned_boundary(length, **kwargs):
    """Exhaust a limiter and check wait_time() points at the next epoch-aligned boundary.

    The wall clock is read around every step, so the bounds hold whatever the
    scheduling delays; a rollover in the middle spoils the run and it is retried.
    """
    limit = next(value for key, value in kwargs.items() if key in ("sec", "min", "hour", "day"))
    for _ in range(5):
        limiter = RateLimiter(blocking=False, **kwargs)
        started = time.time()
        admitted = [limiter.acquire() for _ in range(limit + 1)]
        before_wait = time.time()
        wait = limiter.wait_time()
        after_wait = time.time()
        if int(started) // length != int(after_wait) // length:
            continue
        assert admitted == [True] * limit + [False]
        end = expected_rollover(length, started)
        assert end - after_wait - 0.01 <= wait <= end - before_wait + 0.01
        return
    pytest.fail("every run crossed a window boundary")


def test_second_window_multiplier_stretches_the_window():
    assert_window_ends_at_aligned_boundary(10, sec=3, sec_window=10)


def test_minute_window_multiplier_is_sixty_times_the_argument():
    assert_window_ends_at_aligned_boundary(300, min=100, min_window=5)


def test_plain_minute_hour_and_day_windows_are_aligned_to_the_epoch():
    assert_window_ends_at_aligned_boundary(60, min=2)
    assert_window_ends_at_aligned_boundary(3600, hour=2)
    assert_window_ends_at_aligned_boundary(7200, hour=2, hour_window=2)
    assert_window_ends_at_aligned_boundary(86400, day=2)
    assert_window_ends_at_aligned_boundary(3 * 86400, day=1, day_window=3)
