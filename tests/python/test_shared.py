"""Limiters shared between processes by name: what a caller of shared() and
remove_shared() sees, across spawn, fork, kills and other processes' releases."""

import asyncio
import collections
import itertools
import multiprocessing
import os
import random
import time

import pytest

import quellgate
from helpers import ON_LINUX, linux_only, needs_shared_memory
from quellgate import AsyncRateLimiter, RateLimiter

pytestmark = needs_shared_memory

HUGE = 2**63
# Where a child process comes from: Windows has no fork.
PROCESSES = multiprocessing.get_context("fork" if ON_LINUX else "spawn")
# Longer than the epoch is old: one window that never rolls over.
NEVER_ROLLS_OVER = 2**40
_names = itertools.count()


@pytest.fixture
def name():
    """A name no other test or run uses, removed afterwards."""
    chosen = "qgtest.%d.%d" % (os.getpid(), next(_names))
    yield chosen
    try:
        quellgate.remove_shared(chosen)
    except FileNotFoundError:
        pass


def segment_path(name):
    if ON_LINUX:
        return "/dev/shm/quellgate.3." + name
    return os.path.join(os.environ["LOCALAPPDATA"], "quellgate", "quellgate.3." + name)


def fixed(name, limit, **keywords):  # `limit` places in a window that never rolls over
    return RateLimiter.shared(name, sec=limit, sec_window=NEVER_ROLLS_OVER, blocking=False, **keywords)


def take_all(name, tries):
    limiter = fixed(name, 50)
    return sum(limiter.acquire() for _ in range(tries))


def stamped_admissions(name, seconds):
    limiter = RateLimiter.shared(name, sec=500, blocking=False)
    stamps, clock = [], time.time
    deadline = clock() + seconds
    while clock() < deadline:
        before = clock()
        if limiter.acquire():
            stamps.append((before, clock()))
    return stamps


@pytest.mark.parametrize("method", ["spawn", pytest.param("fork", marks=linux_only("fork"))])
def test_processes_share_one_limit_exactly(name, method):
    fixed(name, 50)  # created here, so every child opens the same one
    with multiprocessing.get_context(method).Pool(3) as pool:
        assert sum(pool.starmap(take_all, [(name, 40)] * 3)) == 50


def test_no_window_is_over_admitted_across_rollovers(name):
    RateLimiter.shared(name, sec=500)
    with multiprocessing.get_context("spawn").Pool(4) as pool:
        stamps = sum(pool.starmap(stamped_admissions, [(name, 3)] * 4), [])
    # An admission whose stamps lie in one second certainly counted in it.
    # The lower bound, kept loose for a busy machine, shows the limit was reached.
    per_second = collections.Counter(int(before) for before, after in stamps if int(before) == int(after))
    assert 250 <= max(per_second.values()) <= 500, per_second


@pytest.mark.parametrize(
    "keywords, message",
    [({"sec": 6}, r"10/1s.*6/1s|6/1s.*10/1s"), ({"sec": 10, "max_burst": 3}, "max_burst=3"), ({"sec": 10, "min": 5}, "5/60s")],
)
def test_another_configuration_at_the_name_is_refused_naming_both(name, keywords, message):
    RateLimiter.shared(name, sec=10)
    with pytest.raises(ValueError, match=message):
        AsyncRateLimiter.shared(name, **keywords)


@pytest.mark.parametrize("bad", ["", "a/b", "x" * 201, "caf\u00e9", "nul\0", "sp ace"])
def test_a_bad_name_says_what_is_allowed(bad):
    with pytest.raises(ValueError, match="1 to 200 characters, each a letter"):
        RateLimiter.shared(bad, sec=1)


# Short ids: pytest puts the test's id in an environment variable, which
# Windows caps at 32767 characters.
@pytest.mark.parametrize(
    "content", [b"", b"\x01" * 8, os.urandom(4096), b"\0" * 65536], ids=["empty", "short", "random", "zeros"]
)
def test_a_garbage_or_truncated_object_at_the_name_is_a_value_error(name, content):
    with open(segment_path(name), "wb") as garbage:
        garbage.write(content)
    with pytest.raises(ValueError, match=name):
        RateLimiter.shared(name, sec=1)


@linux_only("POSIX permission bits")
def test_mode_is_applied_whatever_the_umask_and_a_missing_name_cannot_be_removed(name):
    with pytest.raises(FileNotFoundError, match=name):
        quellgate.remove_shared(name)
    old = os.umask(0o077)
    try:
        RateLimiter.shared(name, sec=1, mode=0o640)
    finally:
        os.umask(old)
    assert os.stat(segment_path(name)).st_mode & 0o777 == 0o640


def test_remove_shared_while_another_process_uses_the_name(name):
    ctx = PROCESSES
    holder = fixed(name, 2)
    assert holder.acquire() and holder.acquire() and not holder.acquire()
    with ctx.Pool(1) as pool:
        quellgate.remove_shared(name)
        assert not holder.acquire()  # its own mapping, still full
        # A new opener gets a fresh segment under the name.
        assert pool.apply(take_all, (name, 60)) == 50
    assert not holder.acquire()


def forked_child_permits(name, report):
    limiter = fixed(name, HUGE, max_burst=3)
    taken = [limiter.acquire() for _ in range(2)]  # one fits beside the parent's two
    limiter.release()
    limiter.release()  # one more than it holds: never the parent's
    report.send((taken, limiter.get_remaining()["burst"]))


@linux_only("fork")
def test_a_forked_child_holds_its_own_permits_and_never_the_parents(name):
    ctx = multiprocessing.get_context("fork")
    parent = fixed(name, HUGE, max_burst=3)
    assert parent.acquire() and parent.acquire()
    receive, send = ctx.Pipe(duplex=False)
    child = ctx.Process(target=forked_child_permits, args=(name, send))
    child.start()
    taken, remaining_in_child = receive.recv()
    child.join()
    assert (taken, remaining_in_child) == ([True, False], 1)
    assert parent.get_remaining()["burst"] == 1
    parent.release()
    parent.release()
    assert parent.get_remaining()["burst"] == 3


def hold_then_wait(name, ready):
    limiter = fixed(name, HUGE, max_burst=2)
    assert limiter.acquire() and limiter.acquire()
    ready.send(True)
    time.sleep(60)


def two_windows(name):
    every = dict(sec_window=NEVER_ROLLS_OVER, min_window=NEVER_ROLLS_OVER)
    return RateLimiter.shared(name, sec=10**12, min=10**12, max_burst=2, blocking=False, **every)


def hammer(name):
    limiter = two_windows(name)
    while True:
        if limiter.acquire():
            limiter.release()


def test_a_killed_holder_gives_its_permits_back_and_kills_mid_update_leave_the_windows_whole(name):
    # kill(): SIGKILL, or TerminateProcess on Windows, where a victim killed
    # in its section leaves the segment's mutex abandoned.
    ctx = PROCESSES
    receive, send = ctx.Pipe(duplex=False)
    holder = ctx.Process(target=hold_then_wait, args=(name, send))
    holder.start()
    receive.recv()  # it holds both permits
    holder.kill()
    holder.join()
    # The cap refuses, so the dead holder's slot is reclaimed.
    limiter = fixed(name, HUGE, max_burst=2)
    assert limiter.acquire() and limiter.acquire()

    shared = two_windows(name + "x")
    try:
        for _ in range(8):
            victims = [ctx.Process(target=hammer, args=(name + "x",)) for _ in range(2)]
            before = shared.get_remaining()["second"]
            for victim in victims:
                victim.start()
            deadline = time.monotonic() + 30  # a spawned child takes a while to start
            while shared.get_remaining()["second"] == before and time.monotonic() < deadline:
                time.sleep(0.01)
            time.sleep(0.2 + random.random() * 0.2)
            for victim in victims:
                victim.kill()
                victim.join()
        remaining = shared.get_remaining()
        # Every admission counted in both windows or in neither.
        assert remaining["second"] == remaining["minute"] < 10**12
        assert shared.acquire() and shared.acquire()  # the dead's permits came back
    finally:
        quellgate.remove_shared(name + "x")


def release_on_cue(name, pipe, rounds):
    limiter = fixed(name, HUGE, max_burst=1)
    for _ in range(rounds):
        limiter.acquire()
        pipe.send("held")
        pipe.recv()
        time.sleep(0.5)  # the waiter is deep in its backoff by now
        released_at = time.monotonic()
        limiter.release()
        pipe.send(released_at)
        pipe.recv()  # the waiter has given the permit back: no race for it next round


async def wait_in_a_task(limiter, pipe, delays):
    await limiter.acquire()
    delays.append(time.monotonic() - pipe.recv())
    await limiter.release()
    pipe.send("done")


def wake_delays(name, limiter_class, rounds=3):
    ctx = PROCESSES
    ours, theirs = ctx.Pipe()
    child = ctx.Process(target=release_on_cue, args=(name, theirs, rounds))
    child.start()
    limiter = limiter_class.shared(name, sec=HUGE, sec_window=NEVER_ROLLS_OVER, max_burst=1)
    delays = []
    for _ in range(rounds):
        assert ours.recv() == "held"
        ours.send("go")
        if limiter_class is AsyncRateLimiter:
            asyncio.run(wait_in_a_task(limiter, ours, delays))
        else:
            limiter.acquire()
            delays.append(time.monotonic() - ours.recv())
            limiter.release()
            ours.send("done")
    child.join()
    return delays


def test_a_release_in_another_process_reaches_a_waiter(name, limiter_class):
    fixed(name, HUGE, max_burst=1)
    delays = wake_delays(name, limiter_class)
    # Loose, for a busy machine: bench/bench_shared.py measures how soon.
    assert max(delays) < 5, delays
