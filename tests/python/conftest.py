import pytest

import quellgate

LIMITER_CLASSES = [quellgate.RateLimiter, quellgate.AsyncRateLimiter]


@pytest.fixture(params=LIMITER_CLASSES, ids=lambda cls: cls.__name__)
def limiter_class(request):
    """Both classes share the constructor, its binding and its validation."""
    return request.param
