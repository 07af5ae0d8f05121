"""A Sentinel deployment for the tests: a master, one replica and one
sentinel (quorum 1), each a redis-server on a free loopback port in a
temporary directory, quick to fail over, stopped by PID."""

import os
import shutil
import signal
import subprocess
import time

import pytest

from conftest import free_port

SERVICE = "qgmaster"
MASTER_PASSWORD = "masterpw-7f3a"
SENTINEL_PASSWORD = "sentinelpw-91c2"
DOWN_AFTER_MS = 1000
FAILOVER_TIMEOUT_MS = 3000


class SentinelDeployment:
    def __init__(self, directory):
        self.directory = directory
        self.master_port, self.replica_port, self.sentinel_port = free_port(), free_port(), free_port()
        self.processes = {}

    def url(self, service=SERVICE, sentinel_password=SENTINEL_PASSWORD, password=MASTER_PASSWORD):
        query = "?sentinel_password=" + sentinel_password if sentinel_password else ""
        return "redis+sentinel://:%s@127.0.0.1:%d/%s%s" % (password, self.sentinel_port, service, query)

    def start(self):
        if shutil.which("redis-server") is None or shutil.which("redis-cli") is None:
            pytest.fail("the Sentinel tests need redis-server and redis-cli (Debian: apt-get install redis-server)")
        common = ["--bind", "127.0.0.1", "--save", "", "--appendonly", "no", "--requirepass", MASTER_PASSWORD,
                  "--masterauth", MASTER_PASSWORD]
        self.spawn("master", ["--port", str(self.master_port), "--dir", str(self.directory)] + common)
        self.spawn("replica", ["--port", str(self.replica_port), "--dir", str(self.directory),
                               "--replicaof", "127.0.0.1", str(self.master_port)] + common)
        # Sentinel rewrites its configuration file, so it gets one of its own.
        config = self.directory / "sentinel.conf"
        config.write_text("\n".join([
            "port %d" % self.sentinel_port, "bind 127.0.0.1", "dir %s" % self.directory,
            "requirepass %s" % SENTINEL_PASSWORD,
            "sentinel monitor %s 127.0.0.1 %d 1" % (SERVICE, self.master_port),
            "sentinel auth-pass %s %s" % (SERVICE, MASTER_PASSWORD),
            "sentinel down-after-milliseconds %s %d" % (SERVICE, DOWN_AFTER_MS),
            "sentinel failover-timeout %s %d" % (SERVICE, FAILOVER_TIMEOUT_MS), ""]))
        self.spawn("sentinel", [str(config), "--sentinel"])
        # A failover needs the sentinel to know the replica, and the replica its data.
        self.wait_until(lambda: "master_link_status:up" in self.cli(self.replica_port, MASTER_PASSWORD, "INFO", "replication"))
        self.wait_until(lambda: str(self.replica_port) in self.cli(self.sentinel_port, SENTINEL_PASSWORD, "SENTINEL",
                                                                     "replicas", SERVICE))

    def spawn(self, role, args):
        self.processes[role] = subprocess.Popen(["redis-server"] + args, stdout=subprocess.DEVNULL)

    def cli(self, port, password, *command):
        done = subprocess.run(["redis-cli", "-p", str(port), "-a", password, "--no-auth-warning"] + list(command),
                              capture_output=True, text=True, timeout=10)
        return done.stdout

    def master_named(self):
        return self.cli(self.sentinel_port, SENTINEL_PASSWORD, "SENTINEL", "get-master-addr-by-name", SERVICE).split()

    def wait_until(self, ready, seconds=30):
        deadline = time.monotonic() + seconds
        while not ready():
            if time.monotonic() > deadline or any(p.poll() is not None for p in self.processes.values()):
                pytest.fail("the Sentinel deployment did not come up in %d s" % seconds)
            time.sleep(0.05)

    def kill(self, role):
        process = self.processes.pop(role)
        os.kill(process.pid, signal.SIGKILL)
        process.wait()

    def stop(self):
        for role in list(self.processes):
            self.kill(role)


@pytest.fixture(scope="module")
def sentinel(tmp_path_factory):
    deployment = SentinelDeployment(tmp_path_factory.mktemp("sentinel"))
    try:
        deployment.start()
        yield deployment
    finally:
        deployment.stop()
