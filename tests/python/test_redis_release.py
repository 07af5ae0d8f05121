"""Redis limiters: releases that are done when they return, reports that are
one bounded exchange and hold no worker, leases left by lost answers, and the
connections many threads keep."""

import asyncio
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import quellgate
from helpers import linux_only_module
from quellgate import AsyncRateLimiter, RateLimiter

linux_only_module("the Redis store (Windows builds have none)")

from test_redis import fixed  # noqa: E402


class Client:
    """One plain connection to the server, for what the limiters do not show."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.buffer = b""

    def __call__(self, *args):
        parts = [str(arg).encode() for arg in args]
        self.sock.sendall(b"*%d\r\n" % len(parts) + b"".join(b"$%d\r\n%s\r\n" % (len(p), p) for p in parts))
        line = self.line()
        if line[:1] == b"$":
            size = int(line[1:])
            while len(self.buffer) < size + 2:
                self.buffer += self.sock.recv(65536)
            data, self.buffer = self.buffer[:size], self.buffer[size + 2:]
            return data.decode()
        return int(line[1:]) if line[:1] == b":" else line.decode()

    def line(self):
        while b"\r\n" not in self.buffer:
            self.buffer += self.sock.recv(65536)
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def leases(self, name):
        return self("ZCARD", "quellgate:{%s}:leases" % name)

    def connections_received(self):
        stats = self("INFO", "stats")
        return int(stats.split("total_connections_received:")[1].split()[0])


@pytest.fixture
def client(redis_server):
    connection = Client(redis_server.port)
    yield connection
    connection.sock.close()


class SilentServer:
    """Accepts connections and never answers: every call times out."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0), backlog=128)
        self.url = "redis://127.0.0.1:%d" % self.listener.getsockname()[1]
        self.accepted = []
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            self.accepted.append(self.listener.accept()[0])


def release_in_with(limiter):
    with limiter:
        pass


@pytest.mark.parametrize("give_back", [
    lambda limiter: (limiter.acquire(), limiter.release()),
    release_in_with,
    lambda limiter: limiter(lambda: None)(),
], ids=["release", "with", "decorated"])
def test_a_threads_release_is_at_the_server_when_it_returns(redis_server, name, client, give_back):
    limiter = fixed(RateLimiter, name, redis_server.url, 10**6, max_burst=1, blocking=False)
    for _ in range(20):
        give_back(limiter)
        assert client.leases(name) == 0


def test_no_later_admission_of_the_process_is_refused_for_a_tasks_release(redis_server, name):
    # Another limiter object over the same name, whose calls take another path.
    other = fixed(RateLimiter, name, redis_server.url, 10**6, max_burst=1, blocking=False)

    async def rounds():
        limiter = fixed(AsyncRateLimiter, name, redis_server.url, 10**6, max_burst=1, blocking=False)
        for _ in range(20):
            async with limiter:
                pass
            assert await asyncio.get_running_loop().run_in_executor(None, other.acquire)
            other.release()

    asyncio.run(rounds())


EXIT_WITH_RELEASES_IN_FLIGHT = """
import asyncio, sys
from quellgate import AsyncRateLimiter

async def main():
    limiter = AsyncRateLimiter.shared(sys.argv[1], sec=10**6, sec_window=2**40, max_burst=50, storage=sys.argv[2])
    await asyncio.gather(*[limiter.acquire() for _ in range(50)])
    print("held", flush=True)
    sys.stdin.readline()
    await asyncio.gather(*[limiter.release() for _ in range(50)])

asyncio.run(main())
"""


def test_releases_in_flight_are_sent_at_a_clean_exit(redis_server, name, client):
    child = subprocess.Popen([sys.executable, "-c", EXIT_WITH_RELEASES_IN_FLIGHT, name, redis_server.url],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "held\n"
    client("CLIENT", "PAUSE", 300, "WRITE")  # the releases wait at the server, and the exit for them
    child.stdin.write("go\n")
    child.stdin.flush()
    assert child.wait(60) == 0
    assert client.leases(name) == 0


def test_a_timed_out_decision_leaves_no_lease_behind(redis_server, name, client):
    limiter = fixed(RateLimiter, name, redis_server.url, 10**6, max_burst=1, blocking=False, storage_timeout=0.3,
                    lease=60)
    os.kill(redis_server.process.pid, signal.SIGSTOP)
    try:
        with pytest.raises(quellgate.StorageError):
            limiter.acquire()
    finally:
        os.kill(redis_server.process.pid, signal.SIGCONT)
    assert client("PING") == "+PONG"  # the lost decision has run by now, its lease added
    assert limiter.acquire()
    limiter.release()
    assert client.leases(name) == 0


def test_many_threads_keep_the_connections_they_use(redis_server, name, client):
    limiter = fixed(RateLimiter, name, redis_server.url, 10**12, blocking=False, storage_timeout=5)
    threads_count, stop = 64, threading.Event()

    def calls():
        while not stop.is_set():
            limiter.acquire()
            time.sleep(0.002)  # other work, its connection idle meanwhile

    threads = [threading.Thread(target=calls) for _ in range(threads_count)]
    before = client.connections_received()
    for thread in threads:
        thread.start()
    time.sleep(1.5)
    stop.set()
    for thread in threads:
        thread.join()
    assert client.connections_received() - before <= 2 * threads_count


def remaining_of(cls, url):
    limiter = cls.shared("qgtest.silent", sec=10, max_burst=2, storage=url, storage_timeout=0.2,
                         on_storage_error="allow")
    if cls is RateLimiter:
        return limiter.get_remaining

    async def report():
        return await limiter.get_remaining()

    return lambda: asyncio.run(report())


def test_a_report_is_one_exchange_with_the_server(limiter_class):
    server = SilentServer()
    get_remaining = remaining_of(limiter_class, server.url)
    before = len(server.accepted)
    with pytest.raises(quellgate.StorageError):
        get_remaining()
    deadline = time.monotonic() + 10
    while len(server.accepted) == before and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.3)  # for any other connection the call made to be accepted too
    assert len(server.accepted) - before == 1


def test_async_reports_hold_no_worker_while_the_server_is_silent():
    server = SilentServer()
    shared = AsyncRateLimiter.shared("qgtest.silent", sec=10, storage=server.url, storage_timeout=3,
                                     on_storage_error="allow")
    local = AsyncRateLimiter(sec=1)

    async def main():
        await local.acquire()
        reports = [shared.get_remaining() if i % 2 else shared.wait_time() for i in range(2 * os.cpu_count() + 2)]
        await local.acquire()  # its wait ends at the next rollover, and needs a worker then
        assert not any(report.done() for report in reports)
        for outcome in await asyncio.gather(*reports, return_exceptions=True):
            assert isinstance(outcome, quellgate.StorageError)

    asyncio.run(main())
