"""rediss://: a limiter over TLS to redis-servers that the module starts with
certificates it makes with the openssl command, and each way the handshake
must refuse a server, as its own StorageError within storage_timeout."""

import asyncio
import os
import shutil
import signal
import socket
import subprocess
import time

import pytest

import quellgate
from conftest import free_port
from helpers import linux_only_module
from quellgate import AsyncRateLimiter, RateLimiter

linux_only_module("the Redis store (Windows builds have none)")

SLACK = 3.0  # a bound several times what a handshake takes, far below a hang
# The server sends its CA along with its certificate.
UNTRUSTED = "certificate verify failed: (self-signed certificate in certificate chain|unable to get local issuer)"


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


def make_certificates(d):
    """A CA; from it a server certificate for localhost and 127.0.0.1, a
    client certificate, an expired one and one for another name; another CA."""
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                "-subj", "/CN=quellgate test " + ca, "-keyout", d / (ca + ".key"), "-out", d / (ca + ".pem"))
    for cert, days, names in [("server", "2", "DNS:localhost,IP:127.0.0.1"), ("client", "2", "DNS:client"),
                              ("expired", "-1", "DNS:localhost,IP:127.0.0.1"), ("elsewhere", "2", "DNS:elsewhere.test")]:
        (d / (cert + ".ext")).write_text("subjectAltName=%s\n" % names)
        openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=" + cert,
                "-keyout", d / (cert + ".key"), "-out", d / (cert + ".csr"))
        openssl("x509", "-req", "-in", d / (cert + ".csr"), "-CA", d / "ca.pem", "-CAkey", d / "ca.key",
                "-CAcreateserial", "-days", days, "-extfile", d / (cert + ".ext"), "-out", d / (cert + ".pem"))


@pytest.fixture(scope="module")
def tls(tmp_path_factory, redis_server):
    """Servers by the certificate they show (with "auth" asking clients for
    theirs), each on a TLS port only, and the session's plain one; the
    certificate directory."""
    if shutil.which("openssl") is None or shutil.which("redis-server") is None:
        pytest.fail("the TLS tests need openssl and redis-server (Debian: apt-get install openssl redis-server)")
    d = tmp_path_factory.mktemp("tls")
    make_certificates(d)
    servers, ports = {}, {"plain": redis_server.port}
    for role, cert, auth in [("good", "server", "no"), ("auth", "server", "yes"), ("expired", "expired", "no"),
                             ("elsewhere", "elsewhere", "no")]:
        ports[role] = free_port()
        servers[role] = subprocess.Popen(
            ["redis-server", "--port", "0", "--tls-port", str(ports[role]), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", "--dir", str(d), "--tls-cert-file", str(d / (cert + ".pem")),
             "--tls-key-file", str(d / (cert + ".key")), "--tls-ca-cert-file", str(d / "ca.pem"),
             "--tls-auth-clients", auth], stdout=subprocess.DEVNULL)
    try:
        for role, server in servers.items():
            port = ports[role]
            deadline = time.monotonic() + 10
            while not listening(port):
                if server.poll() is not None or time.monotonic() > deadline:
                    pytest.fail("redis-server did not listen for TLS on port %d (built without TLS?)" % port)
                time.sleep(0.02)
        yield ports, d
    finally:
        for server in servers.values():
            os.kill(server.pid, signal.SIGKILL)
            server.wait()


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def url(tls, role, host="127.0.0.1", scheme="rediss", **query):
    ports, d = tls
    text = "%s://:hunter2@%s:%d" % (scheme, host, ports[role])
    params = [k + "=" + (str(d / v) if k != "ssl_cert_reqs" else v) for k, v in query.items()]
    return text + ("?" + "&".join(params) if params else "")


# No server here has a password: AUTH with one fails after the handshake,
# which shows that the handshake passed, so the URLs below without it.
@pytest.mark.parametrize("role, host, query", [
    ("good", "127.0.0.1", {"ssl_ca_certs": "ca.pem"}),
    ("good", "localhost", {"ssl_ca_certs": "ca.pem"}),
    ("auth", "localhost", {"ssl_ca_certs": "ca.pem", "ssl_certfile": "client.pem", "ssl_keyfile": "client.key"}),
    ("expired", "localhost", {"ssl_cert_reqs": "none"}),
])
@pytest.mark.parametrize("limiter_class", [RateLimiter, AsyncRateLimiter])
def test_decides_over_tls(tls, role, host, query, limiter_class):
    storage = url(tls, role, host, **query).replace(":hunter2@", "")
    name = "qgtls.%s.%s.%s" % (role, host, limiter_class.__name__)
    quellgate.remove_shared(name, storage=storage)
    limiter = limiter_class.shared(name, sec=3, storage=storage, blocking=False)
    again = RateLimiter.shared(name, sec=3, storage=storage, blocking=False)
    if limiter_class is AsyncRateLimiter:
        async def twice():
            return await asyncio.wait_for(asyncio.gather(limiter.acquire(), limiter.acquire()), 10)
        admitted = [outcome is not None for outcome in asyncio.run(twice())]
    else:
        admitted = [limiter.acquire() for _ in range(2)]
    assert admitted + [again.acquire(), again.acquire()] == [True, True, True, False]


@pytest.mark.parametrize("role, host, scheme, query, message", [
    ("good", "localhost", "rediss", {"ssl_ca_certs": "other-ca.pem"}, UNTRUSTED),
    ("good", "localhost", "rediss", {}, UNTRUSTED),  # the system's CAs
    ("expired", "localhost", "rediss", {"ssl_ca_certs": "ca.pem"}, "certificate verify failed: certificate has expired"),
    ("elsewhere", "localhost", "rediss", {"ssl_ca_certs": "ca.pem"}, "certificate verify failed: hostname mismatch"),
    ("elsewhere", "127.0.0.1", "rediss", {"ssl_ca_certs": "ca.pem"}, "certificate verify failed: IP address mismatch"),
    ("auth", "localhost", "rediss", {"ssl_ca_certs": "ca.pem"}, "asked for a client certificate"),
    ("good", "localhost", "rediss", {"ssl_ca_certs": "missing.pem"}, "cannot load ssl_ca_certs '.*missing.pem': No such file"),
    ("good", "127.0.0.1", "redis", {}, "before any reply: if this port is for TLS, the URL must be rediss://"),
    # A plain server waits for a line end that a ClientHello may never hold.
    ("plain", "127.0.0.1", "rediss", {"ssl_ca_certs": "ca.pem"}, "no answer within .* listening for TLS on this port"),
])
def test_refuses_with_its_cause_within_the_timeout(tls, role, host, scheme, query, message):
    started = time.monotonic()
    with pytest.raises(quellgate.StorageError, match=message) as raised:
        RateLimiter.shared("qgtls.refused", sec=3, storage=url(tls, role, host, scheme, **query), storage_timeout=1)
    assert time.monotonic() - started < 1 + SLACK
    assert "hunter2" not in str(raised.value)
