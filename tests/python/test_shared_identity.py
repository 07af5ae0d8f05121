"""Who a shared segment belongs to, what sits at its name, and which process
holds its permits: owners and modes, non-segments, leftover temporaries,
processes that /proc cannot name, and a process whose main thread exited."""

import os
import shutil
import subprocess
import sys
import textwrap
import time

import pytest

import quellgate
from quellgate import RateLimiter

NEVER_ROLLS_OVER = 2**40
NOBODY = 65534
as_root = pytest.mark.skipif(os.geteuid() != 0, reason="creates a segment as another user")


@pytest.fixture
def name():
    chosen = "qgident.%d.%d" % (os.getpid(), time.monotonic_ns())
    yield chosen
    try:
        quellgate.remove_shared(chosen)
    except FileNotFoundError:
        pass


def path_of(name):
    return "/dev/shm/quellgate.1." + name


def burst_limiter(name):
    return RateLimiter.shared(name, sec=10**9, sec_window=NEVER_ROLLS_OVER, max_burst=2, blocking=False)


def create_as_nobody(name, mode):
    """Keeps root's group, so the object's group is one of this process's."""
    pid = os.fork()
    if pid == 0:
        try:
            os.setuid(NOBODY)
            RateLimiter.shared(name, sec=1, mode=mode)
            os._exit(0)
        finally:
            os._exit(1)
    assert os.waitpid(pid, 0)[1] == 0


@as_root
@pytest.mark.parametrize("theirs, ours, refused", [(0o666, None, True), (0o660, None, True), (0o660, 0o660, False)])
def test_another_users_segment_is_refused_naming_the_owner_unless_shared_with_our_group(name, theirs, ours, refused):
    create_as_nobody(name, theirs)
    keywords = {} if ours is None else {"mode": ours}
    if refused:
        with pytest.raises(PermissionError, match="belongs to user 'nobody'"):
            RateLimiter.shared(name, sec=1, **keywords)
    else:
        assert RateLimiter.shared(name, sec=1, blocking=False, **keywords).acquire()


def test_a_mode_that_differs_from_the_existing_one_is_refused(name):
    RateLimiter.shared(name, sec=1)
    RateLimiter.shared(name, sec=1, mode=0o600)
    with pytest.raises(ValueError, match="mode 0o600.*mode=0o640"):
        RateLimiter.shared(name, sec=1, mode=0o640)


@pytest.mark.parametrize(
    "make, what", [(os.mkdir, "a directory"), (os.mkfifo, "a FIFO"), (lambda p: os.symlink("/dev/null", p), "a symbolic link")]
)
def test_a_name_that_is_not_a_segment_says_what_is_there(make, what):
    name = "qgident.other.%d" % os.getpid()
    make(path_of(name))
    try:
        with pytest.raises(ValueError, match="%s.*it is %s" % (path_of(name), what)):
            RateLimiter.shared(name, sec=1)
    finally:
        (os.rmdir if os.path.isdir(path_of(name)) and not os.path.islink(path_of(name)) else os.unlink)(path_of(name))


def test_leftover_temporaries_of_dead_creators_are_removed_and_a_live_ones_kept(name):
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    os.waitpid(pid, 0)  # gone, its pid free
    start = int(open("/proc/self/stat").read().rsplit(")", 1)[1].split()[19])
    namespace = os.stat("/proc/self/ns/pid").st_ino
    temporary = "/dev/shm/quellgate.1~%s~%d.%d.%d.%d"
    dead = [temporary % (name, pid, start, namespace, 0), temporary % (name, os.getpid(), start + 1, namespace, 0)]
    live = temporary % (name, os.getpid(), start, namespace, 10**15)
    for leftover in dead + [live]:
        open(leftover, "wb").close()
    try:
        assert RateLimiter.shared(name, sec=1, blocking=False).acquire()
        assert [os.path.exists(leftover) for leftover in dead + [live]] == [False, False, True]
    finally:
        for leftover in dead + [live]:
            if os.path.exists(leftover):
                os.unlink(leftover)


def python_in_own_pid_namespace(code):
    """pid 1 of a new PID namespace that still sees the host's /proc."""
    return subprocess.Popen(
        ["unshare", "--pid", "--fork", sys.executable, "-c", textwrap.dedent(code)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
    )


def test_processes_that_proc_cannot_name_never_share_a_slot(name):
    if shutil.which("unshare") is None or subprocess.run(["unshare", "--pid", "--fork", "true"]).returncode != 0:
        pytest.skip("no unshare --pid here")
    burst_limiter(name)
    opener = "import sys, quellgate\nlimiter = quellgate.RateLimiter.shared(%r, sec=10**9, sec_window=2**40, max_burst=2, blocking=False)\n" % name
    holder = python_in_own_pid_namespace(opener + "print(limiter.acquire(), flush=True)\nsys.stdin.read()\n")
    try:
        assert holder.stdout.readline().strip() == "True"
        # One permit of its own, given back twice: the second is never the holder's.
        other = python_in_own_pid_namespace(opener + "print(limiter.acquire(), limiter.release(), limiter.release())\n")
        assert other.communicate(timeout=30)[0].split() == ["True", "None", "None"]
        assert burst_limiter(name).get_remaining()["burst"] == 1
    finally:
        holder.communicate(timeout=30)


HOLD_IN_A_THREAD_THEN_END_THE_MAIN_THREAD = """
import ctypes, threading, time, quellgate
limiter = quellgate.RateLimiter.shared(%r, sec=10**9, sec_window=2**40, max_burst=2, blocking=False)
def hold():
    print(limiter.acquire() and limiter.acquire(), flush=True)
    time.sleep(600)
threading.Thread(target=hold).start()
time.sleep(0.2)
ctypes.CDLL(None).pthread_exit(None)
"""


def test_a_process_whose_main_thread_exited_keeps_its_permits_while_it_runs(name):
    limiter = burst_limiter(name)
    holder = subprocess.Popen([sys.executable, "-c", HOLD_IN_A_THREAD_THEN_END_THE_MAIN_THREAD % name], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "True"
        deadline = time.monotonic() + 10
        while open("/proc/%d/stat" % holder.pid).read().rsplit(")", 1)[1].split()[0] != "Z":
            assert time.monotonic() < deadline, "the main thread did not exit"
            time.sleep(0.01)
        assert not limiter.acquire()  # the cap refuses, and the holder still runs
    finally:
        holder.kill()
        holder.wait()
    deadline = time.monotonic() + 10
    while not limiter.acquire():  # once it is gone, its permits come back
        assert time.monotonic() < deadline, "a dead holder's permits did not come back"
        time.sleep(0.02)
