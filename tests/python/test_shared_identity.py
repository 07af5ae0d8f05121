"""Whose a shared segment is, what sits at its name, and which process holds
its permits: owners, modes, non-segments, leftovers, unnamed and half-exited processes."""

import os
import shutil
import subprocess
import sys
import time

import pytest

import quellgate
from helpers import linux_only_module
from quellgate import RateLimiter

linux_only_module("POSIX users and modes, /dev/shm, /proc, fork and PID namespaces")

OPEN = "import sys, quellgate\nlimiter = quellgate.RateLimiter.shared(%r, sec=9, sec_window=2**40, max_burst=2, blocking=False)\n"
as_root = pytest.mark.skipif(os.geteuid() != 0, reason="creates a segment as another user")


@pytest.fixture
def name():
    chosen = "qgident.%d.%d" % (os.getpid(), time.monotonic_ns())
    yield chosen
    try:
        quellgate.remove_shared(chosen)
    except FileNotFoundError:
        pass


def wait_until(done, what):  # bounded loosely: a fault fails it, a busy machine does not
    deadline = time.monotonic() + 10
    while not done():
        assert time.monotonic() < deadline, what
        time.sleep(0.01)


def create_as(uid, name, mode):  # keeping this process's group
    pid = os.fork()
    if pid == 0:
        try:
            os.setuid(uid)
            RateLimiter.shared(name, sec=1, mode=mode)
            os._exit(0)
        finally:
            os._exit(1)
    assert os.waitpid(pid, 0)[1] == 0


@pytest.mark.parametrize("uid, theirs, ours, refused", [
    pytest.param(65534, 0o666, None, (PermissionError, "belongs to user 'nobody'"), marks=as_root),
    pytest.param(65534, 0o660, None, (PermissionError, "belongs to user 'nobody'"), marks=as_root),
    pytest.param(65534, 0o660, 0o660, None, marks=as_root),  # a group-shared limit
    (os.geteuid(), 0o600, 0o640, (ValueError, "mode 0o600.*mode=0o640")),
])
def test_another_users_segment_or_another_mode_is_refused(name, uid, theirs, ours, refused):
    create_as(uid, name, theirs)
    open_it = lambda: RateLimiter.shared(name, sec=1, blocking=False, mode=ours)
    if refused:
        pytest.raises(refused[0], open_it).match(refused[1])
    else:
        assert open_it().acquire()


@pytest.mark.parametrize("make, what", [(os.mkdir, "directory"), (os.mkfifo, "FIFO"), (lambda p: os.symlink("/", p), "symbolic link")])
def test_a_name_that_is_not_a_segment_says_what_is_there(make, what):
    name = "qgident.other.%d" % os.getpid()
    make("/dev/shm/quellgate.3." + name)
    try:
        pytest.raises(ValueError, RateLimiter.shared, name, sec=1).match("quellgate.3.%s is .*it is a %s" % (name, what))
    finally:
        (os.rmdir if what == "directory" else os.unlink)("/dev/shm/quellgate.3." + name)


LEAVE_TEMPORARIES_THEN_CREATE = """
start = int(open("/proc/self/stat").read().rsplit(")", 1)[1].split()[19])
namespace, me = os.stat("/proc/self/ns/pid").st_ino, os.getpid()
gone = os.fork() or os._exit(0)
os.waitpid(gone, 0)
temporary = "/dev/shm/quellgate.3~%s~%%d.%%d.%%d.%%d" % NAME
dead = [temporary % (gone, start, namespace, 0), temporary % (me, start + 1, namespace, 0)]
live = [temporary % (me, start, namespace, call) for call in range(3)]  # the names it tries first
for leftover in dead + live: open(leftover, "wb").close()
quellgate.RateLimiter.shared(NAME, sec=1)
print([os.path.exists(leftover) for leftover in dead + live])
for leftover in live: os.unlink(leftover)
"""


def test_leftover_temporaries_of_dead_creators_are_removed_and_live_ones_passed_over(name):
    code = "import os, quellgate\nNAME = %r\n" % name + LEAVE_TEMPORARIES_THEN_CREATE
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60).stdout == (
        "[False, False, True, True, True]\n")


def test_processes_that_proc_cannot_name_never_share_a_slot(name):
    if shutil.which("unshare") is None or subprocess.run(["unshare", "--pid", "--fork", "true"]).returncode:
        pytest.skip("no unshare --pid here")
    # Each is pid 1 of its own PID namespace, still seeing the host's /proc.
    run = lambda code: subprocess.Popen(["unshare", "--pid", "--fork", sys.executable, "-c", OPEN % name + code],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    holder = run("print(limiter.acquire(), flush=True)\nsys.stdin.read()")
    try:
        assert holder.stdout.readline() == "True\n"
        # One permit of its own, given back twice: the second is never the holder's.
        other = run("print(limiter.acquire(), limiter.release(), limiter.release())")
        assert other.communicate(timeout=30)[0] == "True None None\n"
        assert RateLimiter.shared(name, sec=9, sec_window=2**40, max_burst=2).get_remaining()["burst"] == 1
    finally:
        holder.communicate(timeout=30)


def test_a_process_whose_main_thread_exited_keeps_its_permits_while_it_runs(name):
    code = OPEN % name + """import ctypes, threading, time
threading.Thread(target=lambda: print(limiter.acquire() and limiter.acquire(), flush=True) or time.sleep(600)).start()
time.sleep(0.2)
ctypes.CDLL(None).pthread_exit(None)"""
    holder = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    limiter = RateLimiter.shared(name, sec=9, sec_window=2**40, max_burst=2, blocking=False)
    try:
        assert holder.stdout.readline() == "True\n"
        wait_until(lambda: open("/proc/%d/stat" % holder.pid).read().rsplit(")", 1)[1].split()[0] == "Z", "no pthread_exit")
        assert not limiter.acquire()  # the cap refuses, and the holder still runs
    finally:
        holder.kill()
        holder.wait()
    wait_until(limiter.acquire, "a dead holder's permits did not come back")
