"""A real web client of keyed limits: a Flask app under gunicorn with four
workers guards its route with `limiter[request.headers["X-Client"]]`, a
limiter of 10 per second shared by the workers, and eight HTTP clients with
distinct X-Client values call it as fast as they can.

Each 200 response carries the wall clock read just before and just after the
app's acquire(); an admission whose two readings fall in one second certainly
counted in that second. For every client and every second the clients spent
calling from start to end, there must be at most 10 such admissions, and at
least 10 once those that straddle a rollover are added: exactly 10 per key
per second, across four processes.

It runs once over shared memory and once over a Redis server it starts on a
free loopback port (skipped when redis-server is missing, unless --require-redis).
Exits non-zero when a key gets more or fewer than 10 in any full second.

    python bench/web_clients.py [--seconds S] [--require-redis]

Needs flask and gunicorn (bench/requirements-web.txt).
"""

import argparse
import http.client
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter, defaultdict

import quellgate

PER_SECOND = 10
CLIENTS = 8
WORKERS = 4

APP = '''
import os, time
from flask import Flask, request
import quellgate

limiter = quellgate.RateLimiter.shared(
    os.environ["QG_NAME"], sec=%d, blocking=False, storage=os.environ.get("QG_STORAGE") or None)
app = Flask(__name__)

@app.route("/")
def guarded():
    before = time.time()
    admitted = limiter[request.headers["X-Client"]].acquire()
    after = time.time()
    if not admitted:
        return "limited", 429
    return "%%r %%r" %% (before, after)
''' % PER_SECOND


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, process, what):
    deadline = time.monotonic() + 30
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if process.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("%s did not start on port %d" % (what, port))
            time.sleep(0.05)


def start_redis(directory):
    port = free_port()
    process = subprocess.Popen(
        [shutil.which("redis-server"), "--port", str(port), "--save", "", "--appendonly", "no", "--dir", directory],
        stdout=subprocess.DEVNULL)
    wait_for_port(port, process, "redis-server")
    return process, "redis://127.0.0.1:%d" % port


def start_gunicorn(directory, name, storage):
    port = free_port()
    environment = dict(os.environ, QG_NAME=name, QG_STORAGE=storage or "")
    process = subprocess.Popen(
        [sys.executable, "-m", "gunicorn", "--workers", str(WORKERS), "--bind", "127.0.0.1:%d" % port,
         "--chdir", directory, "--log-level", "warning", "app:app"],
        env=environment)
    wait_for_port(port, process, "gunicorn")
    # Every worker must be up before the clock starts, or the first second
    # measures start-up rather than the limit.
    time.sleep(1.5)
    return process, port


def call_until(port, client, end, stamps, statuses):
    while time.time() < end:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request("GET", "/", headers={"X-Client": client})
        response = connection.getresponse()
        body = response.read().decode()
        connection.close()
        statuses[response.status] += 1
        if response.status == 200:
            before, after = (float(part) for part in body.split())
            stamps.append((before, after))


def exactness_faults(stamps_by_client, first_second, last_second):
    """The (client, second, certain, possible) where a key was not held to
    exactly PER_SECOND in a second the clients spent calling."""
    faults = []
    for client, stamps in sorted(stamps_by_client.items()):
        certain, straddling = defaultdict(int), defaultdict(int)
        for before, after in stamps:
            if int(before) == int(after):
                certain[int(before)] += 1
            else:
                straddling[int(before)] += 1
                straddling[int(after)] += 1
        for second in range(first_second, last_second + 1):
            possible = certain[second] + straddling[second]
            if certain[second] > PER_SECOND or possible < PER_SECOND:
                faults.append((client, second, certain[second], possible))
    return faults


def run(home, storage, seconds, directory):
    name = "qgweb.%d.%s" % (os.getpid(), "redis" if storage else "shm")
    server, port = start_gunicorn(directory, name, storage)
    try:
        start = int(time.time()) + 1
        end = start + seconds
        stamps_by_client = {"client-%d" % index: [] for index in range(CLIENTS)}
        statuses_by_client = {client: Counter() for client in stamps_by_client}
        threads = [threading.Thread(target=call_until, args=(port, client, end, stamps, statuses_by_client[client]))
                   for client, stamps in stamps_by_client.items()]
        while time.time() < start - 0.5:
            time.sleep(0.05)
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(30)
    statuses = sum(statuses_by_client.values(), Counter())
    if storage:
        quellgate.remove_shared(name, storage=storage)
    else:
        quellgate.remove_shared(name)
    # The first and the last second may be partial: the clients start half a
    # second early and stop at `end`, so every second in between is whole.
    faults = exactness_faults(stamps_by_client, start, end - 1)
    admitted = sum(len(stamps) for stamps in stamps_by_client.values())
    print("%-14s %d clients x %d s: %d admitted, %d refused, %d requests/s; %s" % (
        home, CLIENTS, seconds, admitted, statuses[429], sum(statuses.values()) // (seconds + 1),
        "exactly %d per key per second" % PER_SECOND if not faults else "FAULTS %s" % faults[:8]))
    return not faults and set(statuses) <= {200, 429}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=3)
    parser.add_argument("--require-redis", action="store_true")
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        with open(os.path.join(directory, "app.py"), "w") as app:
            app.write(APP)
        ok = run("shared memory", None, arguments.seconds, directory)
        if shutil.which("redis-server") is None:
            if arguments.require_redis:
                raise SystemExit("redis-server is not installed")
            print("Redis: skipped, no redis-server")
            return 0 if ok else 1
        redis, url = start_redis(directory)
        try:
            ok = run("Redis", url, arguments.seconds, directory) and ok
        finally:
            redis.kill()
            redis.wait()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
