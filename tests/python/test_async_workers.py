"""The process-wide worker pool, seen from fresh interpreters: when it starts, its size, its name."""

import json
import os
import subprocess
import sys

import pytest

from async_helpers import THREAD_PROBE, WORKER_COMM, script, script_report

WORKER_VARIABLE = "OSKEN_WORKER_THREADS"

FIRST_CALL = """
import asyncio, gc, json, quellgate

async def one_call(limiter):
    return await limiter.get_remaining()
"""


def test_sync_limiter_and_constructing_or_decorating_async_ones_start_no_threads():
    report = script_report(
        FIRST_CALL,
        """
        limiter = quellgate.RateLimiter(sec=5, max_burst=2)
        with limiter:
            limiter.acquire()
        after_sync = settled_thread_names()
        idle = quellgate.AsyncRateLimiter(sec=5)
        wrapper = idle(lambda: None)
        print(json.dumps({"after_sync": after_sync, "after_async_construction": settled_thread_names()}))
        """,
        env_remove=[WORKER_VARIABLE],
    )
    assert len(report["after_sync"]) == 1
    assert len(report["after_async_construction"]) == 1


def test_first_call_starts_one_named_worker_per_usable_processor_and_later_calls_none():
    report = script_report(
        FIRST_CALL,
        """
        import threading
        before = settled_thread_names()
        processors = usable_processors()
        limiter = quellgate.AsyncRateLimiter(sec=100)
        asyncio.run(one_call(limiter))
        after_first = settled_thread_names(expected_workers=processors)

        # More limiters, more loops, another thread with its own loop, decorated
        # coroutine calls (a decorated plain function runs on a thread of its
        # own: test_decorator_threads.py).
        others = [quellgate.AsyncRateLimiter(sec=100) for _ in range(3)]
        async def one():
            return 1
        async def many_calls():
            await asyncio.gather(*[l.acquire() for l in others for _ in range(20)])
            await others[0](one)()
        asyncio.run(many_calls())
        thread = threading.Thread(target=lambda: asyncio.run(one_call(others[1])))
        thread.start()
        thread.join()
        del limiter, others
        gc.collect()
        print(json.dumps({"before": before, "after_first": after_first,
                          "after_more": settled_thread_names(), "processors": processors}))
        """,
        env_remove=[WORKER_VARIABLE],
    )
    processors = report["processors"]
    assert len(report["before"]) == 1
    assert sorted(report["after_first"]) == sorted(report["before"] + [WORKER_COMM] * processors)
    assert sorted(report["after_more"]) == sorted(report["after_first"])


@pytest.mark.parametrize("value, workers", [("2", 2), ("+3", 3), ("1", 1), ("05", 5), ("64", 64)])
def test_worker_variable_sets_the_pool_size(value, workers):
    report = script_report(
        FIRST_CALL,
        """
        asyncio.run(one_call(quellgate.AsyncRateLimiter(sec=1)))
        print(json.dumps(thread_names()))  # every worker named once the pool is built
        """,
        env_update={WORKER_VARIABLE: value},
    )
    assert report.count(WORKER_COMM) == workers
    assert len(report) == workers + 1


INVALID_POOL = script(
    FIRST_CALL,
    """
    outcomes = []
    def attempt(call):
        try:
            call()
        except BaseException as error:
            outcomes.append({"type": type(error).__name__, "module": type(error).__module__,
                             "bases": [b.__name__ for b in type(error).__bases__],
                             "is_exception": isinstance(error, Exception), "message": str(error),
                             "same_type": type(error) is type(first) if outcomes else True})
            return error

    limiter = quellgate.AsyncRateLimiter(sec=100)
    first = attempt(lambda: asyncio.run(one_call(limiter)))
    attempt(lambda: asyncio.run(one_call(quellgate.AsyncRateLimiter(min=5))))
    attempt(lambda: asyncio.run(one_call(limiter)))
    sync = quellgate.RateLimiter(sec=100)
    print(json.dumps({"outcomes": outcomes, "sync": [sync.acquire(), sync.get_remaining()],
                      "threads": settled_thread_names()}))
    """
)


@pytest.mark.parametrize(
    "variable, value, complaint",
    [
        (WORKER_VARIABLE, "0", "cannot be set to 0"),
        # A value that does not parse is quoted back in the message.
        (WORKER_VARIABLE, " 2", " 2"),
        (WORKER_VARIABLE, "two", "two"),
        (WORKER_VARIABLE, "", ""),
        (WORKER_VARIABLE, "-1", "-1"),
        (WORKER_VARIABLE, "2 ", "2 "),
        (WORKER_VARIABLE, "99999999999999999999999", "99999999999999999999999"),
        # The blocking pool's idle time is refused in the same way.
        ("OSKEN_BLOCKING_IDLE_MS", "0", "cannot be set to 0"),
        ("OSKEN_BLOCKING_IDLE_MS", "1.5", "1.5"),
    ],
)
def test_invalid_pool_variable_makes_every_async_call_panic_while_sync_works(variable, value, complaint):
    report = script_report(INVALID_POOL, env_update={variable: value})
    outcomes = report["outcomes"]
    assert len(outcomes) == 3
    for outcome in outcomes:
        assert outcome["type"] == "PanicException"
        assert outcome["module"] == "pyo3_runtime"
        assert outcome["bases"] == ["BaseException"]
        assert not outcome["is_exception"]
        assert outcome["same_type"]
    assert '"%s"' % variable in outcomes[0]["message"]
    assert complaint in outcomes[0]["message"]
    assert report["sync"] == [True, {"second": 99}]
    assert len(report["threads"]) == 1


def test_worker_variable_that_is_not_utf8_panics():
    if not hasattr(os, "environb"):
        pytest.skip("no byte environment on this platform")
    env = dict(os.environb)
    env[WORKER_VARIABLE.encode()] = b"\xff2"
    completed = subprocess.run(
        [sys.executable, "-c", script(THREAD_PROBE, INVALID_POOL)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        timeout=90,
    )
    assert completed.returncode == 0, completed.stderr
    outcomes = json.loads(completed.stdout.decode().strip().splitlines()[-1])["outcomes"]
    assert [outcome["type"] for outcome in outcomes] == ["PanicException"] * 3
    assert "unicode" in outcomes[0]["message"]


def test_threads_racing_to_make_the_first_call_share_one_pool():
    report = script_report(
        FIRST_CALL,
        """
        import threading
        limiter = quellgate.AsyncRateLimiter(sec=10**9)
        start = threading.Barrier(4)
        results = []
        def first_call():
            start.wait()
            results.append(asyncio.run(one_call(limiter)))
        threads = [threading.Thread(target=first_call) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(json.dumps({"results": results, "workers": settled_thread_names().count("%s"),
                          "processors": usable_processors()}))
        """
        % WORKER_COMM,
        env_remove=[WORKER_VARIABLE],
    )
    assert report["results"] == [{"second": 10**9}] * 4
    assert report["workers"] == report["processors"]
