"""A Redis Cluster for the tests of one module: three masters and a replica
each, from the system's redis-server on free loopback ports, with a short
node timeout so that a failover takes a second or two; stopped by PID."""

import os
import random
import shutil
import signal
import socket
import subprocess
import time

import pytest

NODE_TIMEOUT_MS = 1000


def redis_cli(port, *args, check=True):
    done = subprocess.run(["redis-cli", "-p", str(port), *map(str, args)], capture_output=True, text=True, timeout=30)
    if check and (done.returncode != 0 or done.stdout.startswith("ERR")):
        raise AssertionError("redis-cli -p %d %s: %s%s" % (port, " ".join(map(str, args)), done.stdout, done.stderr))
    return done.stdout.strip()


def free_cluster_port():
    """A free port whose cluster bus port (10000 above) is free too, so at most 55535."""
    while True:
        port = random.randrange(20000, 55535)
        try:
            for taken in (port, port + 10000):
                with socket.socket() as probe:
                    probe.bind(("127.0.0.1", taken))
            return port
        except OSError:
            continue


class ClusterNode:
    def __init__(self, directory):
        self.port = free_cluster_port()
        self.directory = directory / str(self.port)
        self.directory.mkdir()
        self.process = None

    def start(self):
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--cluster-enabled", "yes",
             "--cluster-config-file", "nodes.conf", "--cluster-node-timeout", str(NODE_TIMEOUT_MS),
             "--repl-diskless-sync-delay", "0", "--save", "", "--appendonly", "no", "--dir", str(self.directory)],
            stdout=subprocess.DEVNULL)

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        if self.alive():
            os.kill(self.process.pid, signal.SIGKILL)
        self.process.wait()

    def call(self, *args):
        return redis_cli(self.port, *args)


class Cluster:
    def __init__(self, directory, masters=3):
        self.nodes = [ClusterNode(directory) for _ in range(2 * masters)]
        # Two seeds, so that one lost node leaves the map readable.
        self.url = "redis+cluster://127.0.0.1:%d,127.0.0.1:%d" % (self.nodes[0].port, self.nodes[1].port)

    def start(self):
        for node in self.nodes:
            node.start()
        deadline = time.monotonic() + 20
        while any(redis_cli(node.port, "PING", check=False) != "PONG" for node in self.nodes):
            assert time.monotonic() < deadline, "the cluster's nodes did not answer PING"
            time.sleep(0.05)
        subprocess.run(["redis-cli", "--cluster", "create", *("127.0.0.1:%d" % n.port for n in self.nodes),
                        "--cluster-replicas", "1", "--cluster-yes"], check=True, capture_output=True, timeout=60)
        self.wait_until_ok()
        # A replica that never finished its first sync cannot take over.
        deadline = time.monotonic() + 30
        while sum("master_link_status:up" in n.call("INFO", "replication") for n in self.nodes) < len(self.nodes) // 2:
            assert time.monotonic() < deadline, "the replicas did not finish their first sync"
            time.sleep(0.1)

    def live(self):
        return [node for node in self.nodes if node.alive()]

    def wait_until_ok(self, timeout=30):
        deadline = time.monotonic() + timeout
        while not all("cluster_state:ok" in redis_cli(n.port, "CLUSTER", "INFO", check=False) for n in self.live()):
            assert time.monotonic() < deadline, "the cluster did not reach cluster_state:ok"
            time.sleep(0.1)

    def masters(self):
        """{node id: (port, [slot ranges])} of the masters, failing ones too, as a live node sees them."""
        found = {}
        for line in self.live()[0].call("CLUSTER", "NODES").splitlines():
            fields = line.split()
            if "master" in fields[2]:
                found[fields[0]] = (int(fields[1].split(":")[1].split("@")[0]), fields[8:])
        return found

    def owner_of(self, slot):
        """(node id, port) of the master serving the slot."""
        for node_id, (port, ranges) in self.masters().items():
            for text in ranges:
                first, _, last = text.partition("-")
                if not text.startswith("[") and int(first) <= slot <= int(last or first):
                    return node_id, port
        raise AssertionError("no master serves slot %d" % slot)

    def node(self, port):
        return next(node for node in self.nodes if node.port == port)

    def stop(self):
        for node in self.nodes:
            node.stop()


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    if shutil.which("redis-server") is None or shutil.which("redis-cli") is None:
        pytest.fail("the cluster tests need redis-server and redis-cli (Debian: apt-get install redis-server)")
    started = Cluster(tmp_path_factory.mktemp("cluster"))
    try:
        started.start()
        yield started
    finally:
        started.stop()
