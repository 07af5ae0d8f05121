"""A Redis Cluster for one test module: three masters and a replica each,
from the system's redis-server on free loopback ports, with a short node
timeout so that a failover takes a few seconds; stopped by PID."""

import os
import random
import shutil
import signal
import socket
import subprocess
import time

import pytest


def redis_cli(port, *args):
    done = subprocess.run(["redis-cli", "-p", str(port), *map(str, args)], capture_output=True, text=True, timeout=30)
    return done.stdout.strip()


def free_cluster_port():
    """Free, and so is its cluster bus port 10000 above (so at most 55535)."""
    while True:
        port = random.randrange(20000, 55535)
        try:
            for taken in (port, port + 10000):
                with socket.socket() as probe:
                    probe.bind(("127.0.0.1", taken))
            return port
        except OSError:
            pass


def wait_for(done, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not done():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


class Cluster:
    def __init__(self, directory):
        self.ports = [free_cluster_port() for _ in range(6)]
        self.processes = {port: subprocess.Popen(
            ["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--cluster-enabled", "yes",
             "--cluster-config-file", "nodes-%d.conf" % port, "--cluster-node-timeout", "1000",
             "--repl-diskless-sync-delay", "0", "--save", "", "--appendonly", "no", "--dir", str(directory)],
            stdout=subprocess.DEVNULL) for port in self.ports}
        # Two seeds, so that one lost node leaves the map readable.
        self.url = "redis+cluster://127.0.0.1:%d,127.0.0.1:%d" % tuple(self.ports[:2])

    def form(self):
        wait_for(lambda: all(redis_cli(port, "PING") == "PONG" for port in self.ports), "a node did not start")
        subprocess.run(["redis-cli", "--cluster", "create", *("127.0.0.1:%d" % p for p in self.ports),
                        "--cluster-replicas", "1", "--cluster-yes"], check=True, capture_output=True, timeout=60)
        wait_for(lambda: all("cluster_state:ok" in redis_cli(p, "CLUSTER", "INFO") for p in self.ports),
                 "the cluster did not reach cluster_state:ok")
        # A replica that never finished its first sync cannot take over.
        wait_for(lambda: sum("master_link_status:up" in redis_cli(p, "INFO", "replication") for p in self.ports) == 3,
                 "the replicas did not finish their first sync")

    def masters(self):
        """{node id: (port, [slot ranges])}, failing masters too, as a live node sees them."""
        live = next(port for port, process in self.processes.items() if process.poll() is None)
        found = {}
        for fields in map(str.split, redis_cli(live, "CLUSTER", "NODES").splitlines()):
            if "master" in fields[2]:
                found[fields[0]] = (int(fields[1].split(":")[1].split("@")[0]), fields[8:])
        return found

    def owner_of(self, slot):
        """(node id, port) of the master serving the slot."""
        for node_id, (port, ranges) in self.masters().items():
            for first, _, last in (text.partition("-") for text in ranges if not text.startswith("[")):
                if int(first) <= slot <= int(last or first):
                    return node_id, port
        raise AssertionError("no master serves slot %d" % slot)

    def kill(self, port):
        if self.processes[port].poll() is None:
            os.kill(self.processes[port].pid, signal.SIGKILL)
        self.processes[port].wait()


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    if shutil.which("redis-server") is None or shutil.which("redis-cli") is None:
        pytest.fail("the cluster tests need redis-server and redis-cli (Debian: apt-get install redis-server)")
    started = Cluster(tmp_path_factory.mktemp("cluster"))
    try:
        started.form()
        yield started
    finally:
        for port in started.ports:
            started.kill(port)
