"""Keys of a limiter shared in memory: one count per key across processes,
in a table of max_keys entries that refuses a new key when full."""

import itertools
import multiprocessing
import os
import subprocess
import sys
import threading
import time

import pytest

import quellgate
from helpers import linux_only, needs_shared_memory
from quellgate import AsyncRateLimiter, RateLimiter

pytestmark = needs_shared_memory

NEVER_ROLLS_OVER = 2**40
_names = itertools.count()


@pytest.fixture
def name():
    chosen = "qgkeys.%d.%d" % (os.getpid(), next(_names))
    yield chosen
    quellgate.remove_shared(chosen)


def fixed(name, **keywords):  # 30 places in a window that never rolls over
    return RateLimiter.shared(name, sec=30, sec_window=NEVER_ROLLS_OVER, blocking=False, **keywords)


def take_key(name, key, cost, tries):
    view = fixed(name)[key]
    return sum(cost for _ in range(tries) if view.acquire(cost))


@pytest.mark.parametrize("processes, cost", [(2, 1), (4, 3)])
def test_a_key_counts_once_across_processes_and_apart_from_other_keys(name, processes, cost):
    limiter = fixed(name)
    with multiprocessing.get_context("spawn").Pool(processes) as pool:
        taken = pool.starmap(take_key, [(name, "user:\u00e9 1", cost, 40)] * processes)
    assert sum(taken) == 30 // cost * cost
    assert limiter["user:\u00e9 1"].get_remaining()["second"] == 30 - sum(taken)
    assert limiter.get_remaining()["second"] == 30 and limiter["user:2"].acquire(30)
    assert limiter.key_use() == {"live": 2, "max_keys": 1024, "refused": 0}


def test_a_full_table_refuses_a_new_key_and_counts_it(name):
    limiter = fixed(name, max_keys=2)
    assert limiter["a"].acquire() and limiter["b"].acquire()
    assert not limiter["c"].acquire()
    assert limiter["a"].acquire(), "a live key keeps its entry"
    assert limiter.key_use() == {"live": 2, "max_keys": 2, "refused": 1}


def test_another_max_keys_at_the_name_is_refused_naming_both(name):
    fixed(name, max_keys=2)
    with pytest.raises(ValueError, match="max_keys=2.*max_keys=3"):
        AsyncRateLimiter.shared(name, sec=30, sec_window=NEVER_ROLLS_OVER, max_keys=3)


@linux_only("a holder stopped with SIGSTOP inside the segment's pthread mutex")
@pytest.mark.parametrize("key", [None, "k"])
def test_a_settlement_that_finds_the_lock_held_is_made_once_it_is_let_go(name, key):
    from test_shared_lock import HOLDER  # a child that holds the segment's lock, stopped

    limiter = fixed(name) if key is None else fixed(name)[key]
    with limiter.reserve(5) as reservation:
        child = subprocess.Popen([sys.executable, "-c", HOLDER, "/dev/shm/quellgate.3." + name], stdout=subprocess.PIPE)
        assert child.stdout.readline() == b"held\n"
        threading.Timer(0.2, child.kill).start()
        reservation.settle(1)
    child.wait()
    deadline = time.monotonic() + 10
    while limiter.get_remaining()["second"] != 29 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert limiter.get_remaining()["second"] == 29
