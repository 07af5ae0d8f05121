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

SERVICE, MASTER_PASSWORD, SENTINEL_PASSWORD = "qgmaster", "masterpw-7f3a", "sentinelpw-91c2"
DOWN_AFTER_MS, FAILOVER_TIMEOUT_MS = 1000, 3000


class SentinelDeployment:
    def __init__(self, directory):
        self.directory, self.servers = directory, {}  # processes by port
        self.master_port, self.replica_port, self.sentinel_port = free_port(), free_port(), free_port()

    def url(self, service=SERVICE, sentinel_password=SENTINEL_PASSWORD, password=MASTER_PASSWORD):
        query = "?sentinel_password=" + sentinel_password if sentinel_password else ""
        return "redis+sentinel://:%s@127.0.0.1:%d/%s%s" % (password, self.sentinel_port, service, query)

    def start(self):
        if not (shutil.which("redis-server") and shutil.which("redis-cli")):
            pytest.fail("the Sentinel tests need redis-server and redis-cli (Debian: apt-get install redis-server)")
        for port, follows in [(self.master_port, []), (self.replica_port, ["--replicaof", "127.0.0.1", str(self.master_port)])]:
            self.spawn(port, ["--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no", "--dir",
                              str(self.directory), "--requirepass", MASTER_PASSWORD, "--masterauth", MASTER_PASSWORD] + follows)
        config = self.directory / "sentinel.conf"  # a file of its own, which the sentinel rewrites
        config.write_text("port %d\nbind 127.0.0.1\ndir %s\nrequirepass %s\nsentinel monitor %s 127.0.0.1 %d 1\n"
                          % (self.sentinel_port, self.directory, SENTINEL_PASSWORD, SERVICE, self.master_port) +
                          "".join("sentinel %s %s %s\n" % (option, SERVICE, value) for option, value in
                                  [("auth-pass", MASTER_PASSWORD), ("down-after-milliseconds", DOWN_AFTER_MS),
                                   ("failover-timeout", FAILOVER_TIMEOUT_MS)]))
        self.spawn(self.sentinel_port, [str(config), "--sentinel"])
        # A failover needs the sentinel to know the replica, and the replica its data.
        deadline = time.monotonic() + 30
        while not ("master_link_status:up" in self.cli(self.replica_port, "INFO", "replication") and
                   str(self.replica_port) in self.cli(self.sentinel_port, "SENTINEL", "replicas", SERVICE)):
            if time.monotonic() > deadline or any(p.poll() is not None for p in self.servers.values()):
                pytest.fail("the Sentinel deployment did not come up in 30 s")
            time.sleep(0.05)

    def spawn(self, port, args):
        self.servers[port] = subprocess.Popen(["redis-server"] + args, stdout=subprocess.DEVNULL)

    def cli(self, port, *command):
        password = SENTINEL_PASSWORD if port == self.sentinel_port else MASTER_PASSWORD
        return subprocess.run(["redis-cli", "-p", str(port), "-a", password, "--no-auth-warning", *command],
                              capture_output=True, text=True, timeout=10).stdout

    def kill(self, port):
        process = self.servers.pop(port)
        os.kill(process.pid, signal.SIGKILL)
        process.wait()


@pytest.fixture(scope="module")
def sentinel(tmp_path_factory):
    deployment = SentinelDeployment(tmp_path_factory.mktemp("sentinel"))
    try:
        deployment.start()
        yield deployment
    finally:
        for port in list(deployment.servers):
            deployment.kill(port)
