"""How a limiter over Redis meets a server that is slow, stopped, trickling
or misconfigured: one storage_timeout bounds each wait, signals included,
and only a server that cannot be reached is let through by "allow"."""

import contextlib
import os
import signal
import socket
import threading
import time

import pytest

import quellgate
from helpers import linux_only_module
from quellgate import RateLimiter

linux_only_module("the Redis store (Windows builds have none)")

# Generous: each bound is several times what a correct call takes, and far
# below what the fault it catches takes.
SLACK = 3.0


def commands(port, *each):
    """Commands with one-line replies, on a connection of their own; the replies."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as connection:
        for args in each:
            connection.sendall(b"*%d\r\n" % len(args) + b"".join(b"$%d\r\n%s\r\n" % (len(a), a.encode()) for a in args))
        replies = b""
        while replies.count(b"\r\n") < len(each):
            replies += connection.recv(4096)
        return replies


def serve(handle):
    """A peer on a loopback port that runs handle(connection) per client."""
    listener = socket.create_server(("127.0.0.1", 0))

    def accept():
        with contextlib.suppress(OSError):  # the listener closed
            while True:
                threading.Thread(target=handle, args=(listener.accept()[0],), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return listener


def trickle(connection):
    """Answers anything with a reply that never ends: one byte every 0.4 s."""
    connection.recv(4096)
    with connection, contextlib.suppress(OSError):  # the client gave up, as it should
        for byte in b"$1000000\r\n" + b"x" * 40:
            connection.sendall(bytes([byte]))
            time.sleep(0.4)


def pump(source, target, pause):
    with source, target:
        while data := source.recv(65536):
            time.sleep(pause)
            target.sendall(data)


def delayed_proxy(port, delay):
    """Forwards to the server, holding back each of its replies by `delay`."""
    def handle(client):
        upstream = socket.create_connection(("127.0.0.1", port))
        threading.Thread(target=pump, args=(client, upstream, 0), daemon=True).start()
        pump(upstream, client, delay)

    return serve(handle)


def test_a_trickling_peer_fails_within_the_timeout():
    with serve(trickle) as peer:
        url = "redis://127.0.0.1:%d" % peer.getsockname()[1]
        started = time.monotonic()
        with pytest.raises(quellgate.StorageError, match="no reply in time"):
            RateLimiter.shared("qgconn.trickle", sec=1, storage=url, storage_timeout=1)
        assert time.monotonic() - started < 1 + SLACK


def test_a_round_trip_near_a_third_of_the_timeout_still_connects_and_decides(redis_server, name):
    commands(redis_server.port, ["SCRIPT", "FLUSH"])  # the scripts must be loaded again, over the slow path
    with delayed_proxy(redis_server.port, 0.16) as proxy:
        url = "redis://127.0.0.1:%d" % proxy.getsockname()[1]
        limiter = RateLimiter.shared(name, sec=5, storage=url, storage_timeout=0.5, blocking=False)
        assert [limiter.acquire() for _ in range(3)] == [True] * 3


def stopped_server_call(redis_server, call):
    os.kill(redis_server.process.pid, signal.SIGSTOP)
    try:
        started = time.monotonic()
        call()
        return time.monotonic() - started
    finally:
        os.kill(redis_server.process.pid, signal.SIGCONT)


def test_alarms_every_200ms_do_not_stretch_the_timeout(redis_server, name):
    limiter = RateLimiter.shared(name, sec=5, storage=redis_server.url, storage_timeout=1)
    alarms = []
    previous = signal.signal(signal.SIGALRM, lambda *_: alarms.append(1))
    signal.setitimer(signal.ITIMER_REAL, 0.2, 0.2)
    try:
        took = stopped_server_call(redis_server, lambda: pytest.raises(quellgate.StorageError, limiter.acquire))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert alarms, "no alarm came during the wait"
    assert took < 1 + SLACK


@pytest.mark.parametrize("blocking", [True, False])
def test_ctrl_c_ends_a_wait_on_a_stopped_server(redis_server, name, blocking):
    limiter = RateLimiter.shared(name, sec=5, storage=redis_server.url, storage_timeout=30, blocking=blocking)
    ctrl_c = threading.Timer(0.3, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
    ctrl_c.start()
    took = stopped_server_call(redis_server, lambda: pytest.raises(KeyboardInterrupt, limiter.acquire))
    ctrl_c.join()
    assert took < 0.3 + 0.5 + SLACK  # the timeout is 30 s


@pytest.mark.parametrize("url_end, password, wrong_type, exception, message", [
    (":wrong@127.0.0.1:%d", "right", False, quellgate.StorageError, "WRONGPASS"),
    ("127.0.0.1:%d", "right", False, quellgate.StorageError, "NOAUTH|wants a password"),
    ("127.0.0.1:%d/4096", None, False, quellgate.StorageError, "DB index is out of range"),
    ("127.0.0.1:%d", None, True, ValueError, "another type of value"),
])
def test_an_error_reply_raises_even_with_allow(redis_server, name, url_end, password, wrong_type, exception, message):
    if wrong_type:
        commands(redis_server.port, ["SET", "quellgate:{%s}:window:second:1" % name, "x"])
    if password:
        commands(redis_server.port, ["CONFIG", "SET", "requirepass", password])
    try:
        with pytest.raises(exception, match=message):
            url = "redis://" + url_end % redis_server.port
            RateLimiter.shared(name, sec=5, storage=url, on_storage_error="allow").acquire()
    finally:
        if password:
            commands(redis_server.port, ["AUTH", password], ["CONFIG", "SET", "requirepass", ""])
