"""What TLS costs a shared limiter's decision: rediss:// next to redis:// on
loopback, against one redis-server of its own that listens for both.

Rows: an admitted acquire() from one thread (the two URLs measured in
alternating slices, so that the load of a shared machine falls on both
alike), and asyncio with 100 tasks (pipelined over one connection). Each row
is decisions per second over --seconds for each, and the time a decision
takes over TLS relative to plain TCP, next to its target.

    python bench/bench_redis_tls.py [--seconds S]

Needs redis-server built with TLS (Debian's is) and the openssl command,
which makes the certificates in a temporary directory.
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import quellgate
from redis_timing import rates_side_by_side, tasks_side_by_side

HUGE = 2**62
TARGET = 1.3  # a decision over TLS takes at most this many times one over TCP


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def make_certificates(directory):
    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=directory)

    curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    openssl("req", "-x509", *curve, "-days", "1", "-subj", "/CN=bench CA", "-keyout", "ca.key", "-out", "ca.pem")
    openssl("req", "-new", *curve, "-subj", "/CN=localhost", "-keyout", "server.key", "-out", "server.csr")
    with open(os.path.join(directory, "server.ext"), "w") as ext:
        ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-days", "1",
            "-extfile", "server.ext", "-out", "server.pem")


def start_server(directory):
    """One redis-server on a plain and a TLS port; its process and both URLs."""
    make_certificates(directory)
    plain, tls = free_port(), free_port()
    server = subprocess.Popen(
        [shutil.which("redis-server"), "--port", str(plain), "--tls-port", str(tls), "--bind", "127.0.0.1",
         "--save", "", "--appendonly", "no", "--dir", directory, "--tls-auth-clients", "no",
         "--tls-cert-file", "server.pem", "--tls-key-file", "server.key", "--tls-ca-cert-file", "ca.pem"],
        stdout=subprocess.DEVNULL, cwd=directory)
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", tls), timeout=1).close()
            ca = os.path.join(directory, "ca.pem")
            return server, "redis://127.0.0.1:%d" % plain, "rediss://127.0.0.1:%d?ssl_ca_certs=%s" % (tls, ca)
        except OSError:
            time.sleep(0.02)
    sys.exit("redis-server did not listen for TLS (built without it?)")


def limiter(cls, url, tag):
    name = "bench_redis_tls.%d.%s" % (os.getpid(), tag)
    quellgate.remove_shared(name, storage=url)
    return cls.shared(name, sec=HUGE, storage=url)


def tasks_row(plain, tls, seconds):
    limiters = [limiter(quellgate.AsyncRateLimiter, url, "async%d" % i) for i, url in enumerate((plain, tls))]
    return tasks_side_by_side([each.acquire for each in limiters], seconds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    options = parser.parse_args()
    directory = tempfile.mkdtemp(prefix="bench_redis_tls.")
    server, plain, tls = start_server(directory)
    try:
        acquires = [limiter(quellgate.RateLimiter, url, "thread%d" % i).acquire for i, url in enumerate((plain, tls))]
        rows = [("1 thread", *rates_side_by_side(acquires, options.seconds)),
                ("asyncio, 100 tasks", *tasks_row(plain, tls, options.seconds))]
    finally:
        server.kill()
        server.wait()
        shutil.rmtree(directory, ignore_errors=True)
    print("%-20s %12s %12s %10s %8s" % ("row", "redis://", "rediss://", "TLS/TCP", "target"))
    for row, over_tcp, over_tls in rows:
        cost = over_tcp / over_tls  # time per decision over TLS relative to TCP
        verdict = "met" if cost <= TARGET else "MISSED"
        print("%-20s %10.0f/s %10.0f/s %9.2fx %7.1fx %s" % (row, over_tcp, over_tls, cost, TARGET, verdict))


if __name__ == "__main__":
    main()
