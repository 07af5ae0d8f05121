"""Redis deployments of a benchmark's own, from the system's redis-server on
free loopback ports, without persistence: one server, or a Redis Cluster of
three masters (no replicas). Each is a context manager that gives its URL
and, on leaving, stops its processes by PID and removes their directory."""

import random
import shutil
import socket
import subprocess
import tempfile
import time


def free_port():
    """Free, and so is its cluster bus port, 10000 above."""
    while True:
        port = random.randrange(20000, 55535)
        try:
            for taken in (port, port + 10000):
                with socket.socket() as probe:
                    probe.bind(("127.0.0.1", taken))
            return port
        except OSError:
            continue


def redis_cli(port, *args):
    return subprocess.run(["redis-cli", "-p", str(port), *map(str, args)], capture_output=True, text=True).stdout


def wait_for(done, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not done():
        if time.monotonic() > deadline:
            raise RuntimeError(what)
        time.sleep(0.05)


def all_answer(ports):
    return all(redis_cli(port, "PING").strip() == "PONG" for port in ports)


class _Deployment:
    def __enter__(self):
        self.directory = tempfile.mkdtemp(prefix="bench_redis_servers.")
        self.processes = []
        try:
            return self.start()
        except BaseException:
            # A half-started deployment must not outlive the benchmark.
            self.__exit__()
            raise

    def __exit__(self, *exc):
        for process in self.processes:
            process.kill()
            process.wait()
        shutil.rmtree(self.directory, ignore_errors=True)

    def server(self, port, *options):
        self.processes.append(subprocess.Popen(
            [shutil.which("redis-server") or "redis-server", "--port", str(port), "--bind", "127.0.0.1",
             "--save", "", "--appendonly", "no", "--dir", self.directory, *options],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))


class RedisServer(_Deployment):
    """One redis-server; its redis:// URL."""

    def start(self):
        port = free_port()
        self.server(port)
        wait_for(lambda: all_answer([port]), "redis-server did not answer on port %d" % port)
        return "redis://127.0.0.1:%d" % port


class RedisCluster(_Deployment):
    """Three masters with cluster mode, no replicas; a redis+cluster:// URL
    naming two of them as seeds."""

    def start(self):
        ports = [free_port() for _ in range(3)]
        for port in ports:
            self.server(port, "--cluster-enabled", "yes", "--cluster-config-file", "nodes-%d.conf" % port)
        wait_for(lambda: all_answer(ports), "the cluster's redis-servers did not answer")
        subprocess.run(["redis-cli", "--cluster", "create", *("127.0.0.1:%d" % p for p in ports), "--cluster-yes"],
                       check=True, capture_output=True)
        wait_for(lambda: all("cluster_state:ok" in redis_cli(p, "CLUSTER", "INFO") for p in ports),
                 "the cluster did not reach cluster_state:ok")
        return "redis+cluster://127.0.0.1:%d,127.0.0.1:%d" % tuple(ports[:2])
