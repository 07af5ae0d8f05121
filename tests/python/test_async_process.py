"""Process life of the worker pool: forked children and interpreter exit with jobs in flight."""

import pytest

from async_helpers import WORKER_COMM, run_script, run_script_copies, script_report
from helpers import linux_only
from stress_helpers import LEAKS_UNCHECKED_AT_EXIT

USE_LIMITER = """
import asyncio, json, os, sys, quellgate

limiter = quellgate.AsyncRateLimiter(sec=10**9, max_burst=4)

async def acquire_look_release():
    assert await limiter.acquire() == ()
    report = await limiter.get_remaining()
    assert await limiter.release() == ()
    return report["burst"]

def use_limiter():
    return asyncio.run(asyncio.wait_for(acquire_look_release(), 30))

def workers():
    return settled_thread_names(expected_workers=usable_processors()).count("%s")
""" % WORKER_COMM


@linux_only("fork")
def test_os_fork_child_builds_its_own_pool_on_its_first_call():
    report = script_report(
        USE_LIMITER,
        """
        parent_before = use_limiter(), workers()
        reader, writer = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(reader)
            outcome = {"threads_after_fork": len(thread_names())}
            try:
                outcome["burst_seen"] = use_limiter()
                outcome["second_call"] = use_limiter()
                outcome["workers"] = workers()
            except BaseException as error:
                outcome["error"] = repr(error)
            os.write(writer, json.dumps(outcome).encode())
            os._exit(0)
        os.close(writer)
        child = json.loads(os.read(reader, 65536).decode())
        _, status = os.waitpid(pid, 0)
        print(json.dumps({"parent_before": parent_before, "child": child, "status": status,
                          "parent_after": [use_limiter(), workers()],
                          "processors": usable_processors()}))
        """,
    )
    processors = report["processors"]
    assert report["status"] == 0
    assert report["parent_before"] == [3, processors]
    child = report["child"]
    assert "error" not in child, child
    assert child["threads_after_fork"] == 1
    assert child["burst_seen"] == 3 and child["second_call"] == 3
    assert child["workers"] == processors
    assert report["parent_after"] == [3, processors]


@linux_only("fork")
def test_multiprocessing_fork_child_uses_the_inherited_limiter():
    report = script_report(
        USE_LIMITER,
        """
        import multiprocessing, warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded parent

        def child_main(queue):
            try:
                queue.put({"burst_seen": [use_limiter() for _ in range(3)], "workers": workers()})
            except BaseException as error:
                queue.put({"error": repr(error)})

        if __name__ == "__main__":
            use_limiter()
            context = multiprocessing.get_context("fork")
            queue = context.Queue()
            children = [context.Process(target=child_main, args=(queue,)) for _ in range(2)]
            for process in children:
                process.start()
            results = [queue.get(timeout=60) for _ in children]
            for process in children:
                process.join(60)
            print(json.dumps({"results": results, "codes": [p.exitcode for p in children],
                              "processors": usable_processors()}))
        """,
    )
    assert report["codes"] == [0, 0]
    for result in report["results"]:
        assert result == {"burst_seen": [3, 3, 3], "workers": report["processors"]}


@linux_only("fork")
def test_fork_before_any_async_call_leaves_parent_and_child_both_working():
    report = script_report(
        USE_LIMITER,
        """
        pid = os.fork()
        if pid == 0:
            try:
                code = 0 if use_limiter() == 3 and workers() == usable_processors() else 1
            except BaseException:
                code = 2
            os._exit(code)
        parent = use_limiter()
        _, status = os.waitpid(pid, 0)
        print(json.dumps({"parent": parent, "child_code": os.waitstatus_to_exitcode(status)
                          if hasattr(os, "waitstatus_to_exitcode") else status >> 8}))
        """,
    )
    assert report == {"parent": 3, "child_code": 0}


def exits_cleanly(child, expected_code, expected_stdout):
    assert child.returncode == expected_code, "exit %d (expected %d)\n%s" % (
        child.returncode,
        expected_code,
        child.stderr,
    )
    assert child.stdout.strip() == expected_stdout
    for sign in ("Fatal Python error", "terminate called", "Aborted", "panicked", "Segmentation"):
        assert sign not in child.stderr, child.stderr


WAITERS = """
import asyncio, sys, quellgate

limiter = quellgate.AsyncRateLimiter(hour=1)  # nobody is admitted before the script ends

async def start_waiters():
    assert await limiter.acquire() == ()
    waiting = [limiter.acquire() for _ in range(200)]
    await asyncio.sleep(0.3)  # let the jobs reach their window waits
    return waiting
"""


@pytest.mark.parametrize(
    "ending, code, stdout",
    [
        ("print('end of script')", 0, "end of script"),
        ("sys.exit(3)", 3, ""),
        ("print('leaving'); sys.exit(0)", 0, "leaving"),
        ("raise SystemExit('message on stderr')", 1, ""),
    ],
)
def test_exit_while_acquires_wait_for_a_full_window(ending, code, stdout):
    child = run_script(WAITERS, "pending = asyncio.run(start_waiters())", ending, timeout=60,
                       env_update=LEAKS_UNCHECKED_AT_EXIT)
    exits_cleanly(child, code, stdout)


def test_sys_exit_inside_the_loop_while_acquires_wait():
    child = run_script(
        WAITERS,
        """
        async def main():
            await start_waiters()
            sys.exit(5)
        asyncio.run(main())
        """,
        timeout=60,
        env_update=LEAKS_UNCHECKED_AT_EXIT,
    )
    exits_cleanly(child, 5, "")


def test_exit_while_a_decorated_call_waits_for_its_admission():
    child = run_script(
        WAITERS,
        """
        @limiter
        async def never_admitted():
            print("must not run")

        async def main():
            await start_waiters()
            calls = [never_admitted() for _ in range(20)]
            await asyncio.sleep(0.2)
            print("exiting")
            sys.exit(0)
        asyncio.run(main())
        """,
        timeout=60,
        env_update=LEAKS_UNCHECKED_AT_EXIT,
    )
    exits_cleanly(child, 0, "exiting")


def exits_cleanly_every_time(runs, *parts):
    """Workers racing the interpreter's finalisation fail some runs only: run many, a few copies at once."""
    for _ in range(0, runs, 4):
        for child in run_script_copies(4, *parts, timeout=60, env_update=LEAKS_UNCHECKED_AT_EXIT):
            exits_cleanly(child, 0, "exiting")


def test_exit_right_after_an_awaited_call_does_not_abort():
    exits_cleanly_every_time(
        16,
        """
        import asyncio, quellgate

        async def main():
            await quellgate.AsyncRateLimiter(sec=5).acquire()
        asyncio.run(main())
        print("exiting")
        """,
    )


def test_exit_while_another_threads_loop_keeps_receiving_results():
    exits_cleanly_every_time(
        24,
        """
        import asyncio, threading, time, quellgate

        limiter = quellgate.AsyncRateLimiter(sec=10**9)

        def busy_loop():
            async def keep_acquiring():
                while True:
                    await asyncio.gather(*[limiter.acquire() for _ in range(20)])
            asyncio.run(keep_acquiring())

        threading.Thread(target=busy_loop, daemon=True).start()
        time.sleep(0.5)
        print("exiting")
        """,
    )


def test_exit_while_decorated_coroutines_run_on_the_loop():
    # asyncio.run cancels their tasks on the way out, which wakes the waiting jobs.
    exits_cleanly_every_time(
        24,
        """
        import asyncio, quellgate

        @quellgate.AsyncRateLimiter(sec=1000)
        async def sleeps_long():
            await asyncio.sleep(3600)

        async def main():
            calls = [sleeps_long() for _ in range(100)]
            await asyncio.sleep(0.3)
            print("exiting")
        asyncio.run(main())
        """,
    )


def test_exit_while_a_decorated_function_is_inside_a_blocking_call_on_a_worker():
    # The worker retakes the GIL when time.sleep returns, after the interpreter began to exit.
    exits_cleanly_every_time(
        8,
        """
        import asyncio, time, quellgate

        @quellgate.AsyncRateLimiter(sec=1000)
        def blocks_in_python():
            time.sleep(0.5)

        async def main():
            calls = [blocks_in_python() for _ in range(4)]
            await asyncio.sleep(0.2)
            print("exiting")
        asyncio.run(main())
        """,
    )
