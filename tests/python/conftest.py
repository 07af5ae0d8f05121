import itertools
import os
import shutil
import signal
import socket
import subprocess
import time

import pytest

import quellgate

LIMITER_CLASSES = [quellgate.RateLimiter, quellgate.AsyncRateLimiter]


@pytest.fixture(params=LIMITER_CLASSES, ids=lambda cls: cls.__name__)
def limiter_class(request):
    """Both classes share the constructor, its binding and its validation."""
    return request.param


class RedisServer:
    """One redis-server of the test session, on a free port in a temporary
    directory, with no persistence; stopped by its PID, and restartable on
    the same port for the tests of an outage."""

    def __init__(self, directory):
        self.directory = directory
        self.port = free_port()
        self.url = "redis://127.0.0.1:%d" % self.port
        self.process = None

    def start(self):
        executable = shutil.which("redis-server")
        if executable is None:
            pytest.fail("redis-server is not installed (Debian: apt-get install redis-server)")
        self.process = subprocess.Popen(
            [executable, "--port", str(self.port), "--save", "", "--appendonly", "no", "--dir", str(self.directory)],
            stdout=subprocess.DEVNULL,
        )
        deadline = time.monotonic() + 10
        while not self.answers_ping():
            if self.process.poll() is not None or time.monotonic() > deadline:
                pytest.fail("redis-server did not answer PING on port %d" % self.port)
            time.sleep(0.02)

    def answers_ping(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as connection:
                connection.sendall(b"PING\r\n")
                return connection.recv(16).startswith(b"+PONG")
        except OSError:
            return False

    def stop(self):
        os.kill(self.process.pid, signal.SIGKILL)
        self.process.wait()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    server = RedisServer(tmp_path_factory.mktemp("redis"))
    server.start()
    yield server
    server.stop()


_redis_names = itertools.count()


@pytest.fixture
def name(redis_server):
    """A shared name of its own at the session's server, removed afterwards.
    Test files of other homes define a `name` of their own."""
    chosen = "qgtest.%d.%d" % (os.getpid(), next(_redis_names))
    yield chosen
    quellgate.remove_shared(chosen, storage=redis_server.url)
