"""Fresh interpreters for the fault tests: run scripts, several at once, and judge how they ended."""

import os
import subprocess
import sys
import textwrap

import pytest

# Signs on standard error that a process died badly or a sanitizer objected.
CRASH_SIGNS = ("Fatal Python error", "terminate called", "Segmentation fault", "panicked", "Aborted",
               "AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:")


# Ends a child script that uses AsyncRateLimiter without finalising the
# interpreter: workers still finishing a delivery when the interpreter
# finalises are the subject of the exit tests, not of the test that runs
# the script.
LEAVE_WITHOUT_FINALISING = """
sys.stdout.flush()
sys.stderr.flush()
os._exit(0)
"""


def child_environment(env_update=None, env_remove=()):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    for name in env_remove:
        env.pop(name, None)
    env.update(env_update or {})
    return env


def start_child(script, args=(), env_update=None, env_remove=()):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(script)] + [str(arg) for arg in args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, errors="replace",
                            env=child_environment(env_update, env_remove))


class Ended:
    """How one child ended; `hung` when it had to be killed."""

    def __init__(self, returncode, stdout, stderr, hung, args):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.hung = hung
        self.args = args

    def crash_signs(self):
        return [sign for sign in CRASH_SIGNS if sign in self.stderr]

    def describe(self):
        return "args %r: %s, exit %r\nstdout:\n%s\nstderr:\n%s" % (
            self.args, "HUNG" if self.hung else "ended", self.returncode, self.stdout, self.stderr[-4000:])


def finish(process, timeout, args=()):
    try:
        stdout, stderr = process.communicate(timeout=timeout)
        return Ended(process.returncode, stdout, stderr, False, args)
    except subprocess.TimeoutExpired:
        process.kill()
        stdout, stderr = process.communicate()
        return Ended(process.returncode, stdout, stderr, True, args)


def run_children(script, arg_lists, timeout=90.0, env_update=None):
    """Run the script once per argument list, all at the same time; the endings in the same order."""
    started = [(start_child(script, args, env_update), args) for args in arg_lists]
    return [finish(process, timeout, args) for process, args in started]


def run_child(script, args=(), timeout=90.0, env_update=None, env_remove=()):
    return finish(start_child(script, args, env_update, env_remove), timeout, args)


def assert_ended_cleanly(ended, code, stdout=None):
    assert not ended.hung, ended.describe()
    assert ended.returncode == code, ended.describe()
    assert ended.crash_signs() == [], ended.describe()
    if stdout is not None:
        assert ended.stdout.strip() == stdout, ended.describe()


def last_json_line(ended):
    import json

    lines = ended.stdout.strip().splitlines()
    if not lines:
        pytest.fail("child printed nothing\n" + ended.describe())
    return json.loads(lines[-1])
