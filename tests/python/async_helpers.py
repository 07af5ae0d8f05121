"""Shared pieces of the AsyncRateLimiter tests.

Every wait here is bounded loosely: the tests run on busy two-core machines,
so a bound only says "this did not hang", never "this was fast".
"""

import asyncio
import functools
import json
import os
import subprocess
import sys
import textwrap
import time

import pytest

if os.environ.get("QUELLGATE_TEST_UVLOOP"):
    # test_async_uvloop.py runs the key asyncio tests again on uvloop's loops.
    import uvloop

    asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())

WORKER_COMM = "osken-runtime-w"  # Linux keeps 15 bytes of "osken-runtime-worker"

# Put at the top of every child script, so that each can look at its own threads.
THREAD_PROBE = '''
import os, sys, time

def linux_thread_names(only=None):
    names = []
    for tid in os.listdir("/proc/self/task") if only is None else [str(only)]:
        try:
            with open("/proc/self/task/%s/comm" % tid) as comm:
                names.append(comm.read().strip())
        except (FileNotFoundError, ProcessLookupError):  # the thread ended meanwhile
            pass
    return names

def windows_thread_names(only=None):
    """Each thread's description (of thread `only` alone if given), cut to the 15 bytes Linux keeps of a name."""
    import ctypes
    from ctypes import wintypes

    class ThreadEntry(ctypes.Structure):
        _fields_ = [("size", wintypes.DWORD), ("usage", wintypes.DWORD), ("thread", wintypes.DWORD),
                    ("process", wintypes.DWORD), ("base", wintypes.LONG), ("delta", wintypes.LONG),
                    ("flags", wintypes.DWORD)]

    kernel32 = ctypes.WinDLL("kernel32")
    kernel32.CreateToolhelp32Snapshot.restype = kernel32.OpenThread.restype = wintypes.HANDLE
    kernel32.CloseHandle.argtypes = kernel32.LocalFree.argtypes = [wintypes.HANDLE]
    kernel32.GetThreadDescription.argtypes = [wintypes.HANDLE, ctypes.POINTER(ctypes.c_wchar_p)]
    snapshot = kernel32.CreateToolhelp32Snapshot(0x4, 0)  # TH32CS_SNAPTHREAD: every thread of the system
    entry, names = ThreadEntry(size=ctypes.sizeof(ThreadEntry)), []
    listed = kernel32.Thread32First(snapshot, ctypes.byref(entry))
    while listed:
        mine = entry.process == os.getpid() and only in (None, entry.thread)
        # THREAD_QUERY_INFORMATION: Wine refuses the description with less.
        thread = kernel32.OpenThread(0x0040, False, entry.thread) if mine else None
        description = ctypes.c_wchar_p()
        if thread:
            kernel32.GetThreadDescription(thread, ctypes.byref(description))
        if description.value is not None:
            names.append(description.value[:15])
            kernel32.LocalFree(ctypes.cast(description, wintypes.HANDLE))
        if thread:
            kernel32.CloseHandle(thread)
        listed = kernel32.Thread32Next(snapshot, ctypes.byref(entry))
    kernel32.CloseHandle(snapshot)
    return names

thread_names = windows_thread_names if sys.platform == "win32" else linux_thread_names

def usable_processors():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()

def settled_thread_names(expected_workers=None, timeout=10.0):
    """Threads start and end on their own time: poll until the names stop changing."""
    deadline = time.monotonic() + timeout
    names = thread_names()
    while time.monotonic() < deadline:
        time.sleep(0.05)
        again = thread_names()
        workers = again.count("osken-runtime-w")
        if again == names and (expected_workers is None or workers >= expected_workers):
            return again
        names = again
    return names
'''

# The same probes for the tests' own process.
exec(THREAD_PROBE)


def asyncio_test(timeout=60.0):
    """Run an `async def` test on a fresh event loop, giving up after `timeout` seconds."""

    def decorate(test):
        @functools.wraps(test)
        def run(*args, **kwargs):
            return asyncio.run(asyncio.wait_for(test(*args, **kwargs), timeout))

        return run

    return decorate


def sleep_until_window_start(length=1, margin=0.01):
    """Sleep until just after the start of a fresh epoch-aligned window of `length` seconds."""
    now = time.time()
    time.sleep((int(now) // length + 1) * length - now + margin)
    return int(time.time()) // length


async def async_sleep_until_window_start(length=1, margin=0.01):
    now = time.time()
    await asyncio.sleep((int(now) // length + 1) * length - now + margin)
    return int(time.time()) // length


def window_index(length):
    return int(time.time()) // length


async def settled_remaining(limiter, done, timeout=10.0):
    """Poll get_remaining() until done(report) holds or the time is up; return the last report.

    Jobs that give permits back run on worker threads, so the caller may see
    the effect a little after its own await has returned.
    """
    deadline = time.monotonic() + timeout
    report = await limiter.get_remaining()
    while not done(report) and time.monotonic() < deadline:
        await asyncio.sleep(0.02)
        report = await limiter.get_remaining()
    return report


async def burst_comes_back_to(limiter, max_burst, timeout=10.0):
    report = await settled_remaining(limiter, lambda r: r["burst"] == max_burst, timeout)
    return report["burst"]


def script(*parts):
    """Join snippets written at different indentations into one program."""
    return "\n".join(textwrap.dedent(part) for part in parts)


def _child(parts, env_update, env_remove):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    for name in env_remove:
        env.pop(name, None)
    env.update(env_update or {})
    command = [sys.executable, "-c", script(THREAD_PROBE, *parts)]
    return command, env


def run_script(*parts, env_update=None, env_remove=(), timeout=90.0):
    """Run snippets (after THREAD_PROBE) as one program in a fresh interpreter; return the finished process."""
    command, env = _child(parts, env_update, env_remove)
    try:
        return subprocess.run(
            command,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            timeout=timeout,
            env=env,
            universal_newlines=True,
            errors="replace",
        )
    except subprocess.TimeoutExpired as expired:
        pytest.fail("child did not finish within %.0f s; stderr so far:\n%s" % (timeout, expired.stderr))


def run_script_copies(copies, *parts, timeout=90.0, env_update=None):
    """Run `copies` instances of one program side by side; return them all once finished.

    For races with interpreter shutdown: several copies at once try more
    interleavings in the same wall time than one copy after another.
    """
    command, env = _child(parts, env_update, ())
    children = [
        subprocess.Popen(
            command,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
            universal_newlines=True,
            errors="replace",
        )
        for _ in range(copies)
    ]
    finished = []
    for child in children:
        try:
            stdout, stderr = child.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            for other in children:
                other.kill()
            pytest.fail("a copy of the child did not finish within %.0f s" % timeout)
        finished.append(subprocess.CompletedProcess(command, child.returncode, stdout, stderr))
    return finished


def script_report(*parts, env_update=None, env_remove=(), timeout=90.0):
    """Run snippets that print one JSON document on their last stdout line; return it parsed."""
    child = run_script(*parts, env_update=env_update, env_remove=env_remove, timeout=timeout)
    assert child.returncode == 0, "child failed (%d):\n%s\n%s" % (child.returncode, child.stdout, child.stderr)
    lines = child.stdout.strip().splitlines()
    assert lines, "child printed nothing; stderr:\n" + child.stderr
    return json.loads(lines[-1])
