"""The type stubs: precise enough to catch misuse, true to the extension
module, shipped in the wheel, and clean under `mypy --strict` on the examples.

The mypy checks run the stubs of this source tree (put first on MYPYPATH), so
they hold even against an older installed wheel; one test checks that the
installed wheel carries the same file.
"""
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
STUB_PACKAGE = ROOT / "stubs" / "quellgate-stubs"
EXAMPLES = ROOT / "examples"

# Only the tests that run mypy need it; the packaging check runs without it.
needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None,
    reason="mypy is not installed (pip install -r tests/requirements-typing.txt)",
)


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory):
    """MYPYPATH pointing at this tree's stubs, and one mypy cache for the module."""
    stubs = tmp_path_factory.mktemp("stubs")
    shutil.copy(STUB_PACKAGE / "__init__.pyi", stubs / "quellgate.pyi")
    cache = tmp_path_factory.mktemp("mypy-cache")
    env = dict(os.environ, MYPYPATH=str(stubs))
    return env, cache


def run_mypy(mypy_env, *targets):
    env, cache = mypy_env
    command = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), "--no-color-output"]
    return subprocess.run(command + [str(t) for t in targets], env=env, capture_output=True, text=True, timeout=300)


def error_lines(mypy_output, path):
    """Line numbers in `path` that mypy reported an error on."""
    pattern = re.compile(r"^%s:(\d+): error:" % re.escape(str(path)), re.MULTILINE)
    return {int(line) for line in pattern.findall(mypy_output)}


def test_wheel_installs_the_stub_package_beside_the_module():
    spec = importlib.util.find_spec("quellgate")
    assert spec is not None and spec.origin is not None
    installed = Path(spec.origin).parent / "quellgate-stubs"
    assert (installed / "py.typed").is_file(), "the installed wheel has no quellgate-stubs/py.typed"
    assert (installed / "__init__.pyi").read_text() == (STUB_PACKAGE / "__init__.pyi").read_text(), (
        "the installed stubs differ from stubs/quellgate-stubs: reinstall the wheel"
    )


@needs_mypy
def test_examples_pass_mypy_strict(mypy_env):
    result = run_mypy(mypy_env, EXAMPLES)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_stubs_agree_with_the_runtime_module(mypy_env):
    """stubtest imports the module and compares every class, method,
    parameter and the final flag with the stubs."""
    env, _ = mypy_env
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quellgate"], env=env, capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stdout + result.stderr


CORRECT_USE = '''
import asyncio
from typing import Dict, Optional, Tuple

from typing_extensions import assert_type

from quellgate import AsyncRateLimiter, RateLimiter

limiter = RateLimiter(sec=10, min=500, blocking=False, max_burst=None)
assert_type(limiter.acquire(), bool)
assert_type(limiter.release(), None)
assert_type(limiter.get_remaining(), Dict[str, int])
assert_type(limiter.wait_time(), Optional[float])
with limiter as bound:
    assert_type(bound, None)
assert_type(limiter.acquire(2, timeout=0.5), bool)
with limiter.reserve(3, timeout=None) as reservation:
    assert_type(reservation.settle(2), None)


@limiter
def lookup(word: str, *, shout: bool = False) -> bytes:
    return word.encode()


assert_type(lookup("a", shout=True), bytes)


# A decorated method binds `self` as a function does.
class Client:
    def __init__(self) -> None:
        self.get = limiter(self._get)

    def _get(self, key: str) -> str:
        return key

    @staticmethod
    @limiter
    def ping(times: int) -> float:
        return 0.5

    @limiter
    def method(self, key: str) -> str:
        return key


client = Client()
assert_type(client.get("a"), str)
assert_type(client.ping(3), float)
assert_type(Client.ping(3), float)
assert_type(client.method("a"), str)
assert_type(Client.method(client, "a"), str)


async def use_async() -> None:
    alimiter = AsyncRateLimiter(10, min_window=2)
    assert_type(alimiter.acquire(), "asyncio.Future[Optional[Tuple[()]]]")
    assert_type(await alimiter.acquire(), Optional[Tuple[()]])
    assert_type(await alimiter.release(), Tuple[()])
    assert_type(await alimiter.get_remaining(), Dict[str, int])
    assert_type(await alimiter.wait_time(), Optional[float])
    async with alimiter as admitted:
        assert_type(admitted, Tuple[()])
    assert_type(await alimiter.acquire(cost=2, timeout=1), Optional[Tuple[()]])
    async with alimiter.reserve(2) as areservation:
        assert_type(areservation.settle(1), None)

    @alimiter
    async def fetch(n: int, **fields: str) -> float:
        return 1.0

    @alimiter
    def compute(n: int) -> str:
        return str(n)

    assert_type(fetch(1, colour="red"), "asyncio.Future[float]")
    assert_type(await fetch(1), float)
    assert_type(await compute(2), str)
    assert_type(asyncio.ensure_future(fetch(1)), "asyncio.Future[float]")

    class Fetcher:
        @alimiter
        async def fetch(self, n: int) -> str:
            return str(n)

    assert_type(await Fetcher().fetch(1), str)
'''


@needs_mypy
def test_stubs_give_each_method_its_precise_type(mypy_env, tmp_path):
    source = tmp_path / "correct_use.py"
    source.write_text(CORRECT_USE)
    result = run_mypy(mypy_env, source)
    assert result.returncode == 0, result.stdout + result.stderr


# Every line marked "# error" must be reported, and no other line.
MISUSE = '''
import asyncio

from quellgate import AsyncRateLimiter, RateLimiter

RateLimiter(sec="10")  # error
RateLimiter(sec=1, blocking=None)  # error
RateLimiter(sec=1, per_second=3)  # error
flag: str = RateLimiter(sec=1).acquire()  # error
RateLimiter(sec=1).release(1)  # error
RateLimiter(sec=1).wait_time() + 1.0  # error
RateLimiter(sec=1).get_remaining()["second"] + "x"  # error


class Custom(RateLimiter):  # error
    pass


@RateLimiter(sec=1)
def lookup(word: str) -> str:
    return word


lookup(1)  # error
lookup("a", "b")  # error
size: int = lookup("a")  # error


class Client:
    @RateLimiter(sec=1)
    def get(self, key: str) -> str:
        return key

    @AsyncRateLimiter(sec=1)
    async def fetch(self, key: str) -> str:
        return key


Client().get(1)  # error
Client().get(Client(), "a")  # error


async def use_async() -> None:
    alimiter = AsyncRateLimiter(sec=1)
    with alimiter:  # error
        pass
    admitted: bool = await alimiter.acquire()  # error

    @alimiter
    async def fetch(n: int) -> str:
        return str(n)

    await fetch("1")  # error
    count: int = await fetch(1)  # error
    not_awaited: str = fetch(1)  # error
    await Client().fetch(1)  # error
    asyncio.create_task(fetch(1))  # error
'''


@needs_mypy
def test_stubs_reject_misuse_line_by_line(mypy_env, tmp_path):
    source = tmp_path / "misuse.py"
    source.write_text(MISUSE)
    result = run_mypy(mypy_env, source)
    expected = {number for number, line in enumerate(MISUSE.splitlines(), start=1) if line.endswith("# error")}
    assert error_lines(result.stdout, source) == expected, result.stdout
