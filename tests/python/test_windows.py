"""What only Windows builds do differently from Linux ones."""

import sys

import pytest

import quellgate

pytestmark = pytest.mark.skipif(sys.platform != "win32", reason="Windows builds only")


@pytest.mark.parametrize("url", ["redis://127.0.0.1:6379", "rediss://127.0.0.1:6380"])
def test_redis_storage_is_refused_saying_windows_builds_have_none(limiter_class, url):
    with pytest.raises(NotImplementedError, match="no Redis support on Windows"):
        limiter_class.shared("qgwindows", sec=1, storage=url)
    with pytest.raises(NotImplementedError, match="no Redis support on Windows"):
        quellgate.remove_shared("qgwindows", storage=url)


def test_a_mode_sharing_a_segment_with_other_users_is_refused(limiter_class):
    with pytest.raises(OSError, match="for this user only"):
        limiter_class.shared("qgwindows.mode", sec=1, mode=0o660)
