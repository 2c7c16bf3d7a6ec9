"""A Mosquitto broker of the test's own: a free loopback port, a generated configuration, persistence on.

It can be killed (SIGKILL) and started again on the same port and
persistence file. The program must be installed (`make test` installs
Debian's package); a missing one fails the test rather than skipping it.
"""

import os
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

# As root, Mosquitto would switch to its own user, which cannot write into the test's folder.
CONFIG = """\
user root
listener {port} 127.0.0.1
allow_anonymous {anonymous}
persistence true
persistence_location {directory}/
autosave_interval 1
max_queued_messages 0
max_inflight_messages 0
log_dest file {directory}/mosquitto.log
{extra}
"""


def program(name="mosquitto"):
    found = shutil.which(name) or shutil.which(name, path="/usr/sbin:/usr/bin")
    if found is None:
        pytest.fail(f"{name} is not installed (make test installs Debian's mosquitto package)")
    return found


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Mosquitto:
    def __init__(self, directory, *, users=None, tls=None, acl=None):
        self.directory = Path(directory)
        self.port = free_port()
        extra = []
        if users:
            passwords = self.directory / "passwords"
            for n, (user, password) in enumerate(users.items()):
                subprocess.run([program("mosquitto_passwd"), "-b"] + ([] if n else ["-c"])
                               + [str(passwords), user, password], check=True, capture_output=True)
            extra.append(f"password_file {passwords}")
        if acl:
            (self.directory / "acl").write_text(acl)
            extra.append(f"acl_file {self.directory / 'acl'}")
        if tls:
            extra += [f"cafile {tls['ca']}", f"certfile {tls['cert']}", f"keyfile {tls['key']}",
                      f"require_certificate {'true' if tls.get('require_certificate') else 'false'}"]
        (self.directory / "mosquitto.conf").write_text(CONFIG.format(
            port=self.port, directory=self.directory, anonymous="false" if users else "true",
            extra="\n".join(extra)))
        self.process = None
        self.url = f"{'mqtts' if tls else 'mqtt'}://127.0.0.1:{self.port}"

    def start(self):
        self.process = subprocess.Popen([program(), "-c", str(self.directory / "mosquitto.conf")],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                log = self.directory / "mosquitto.log"
                pytest.fail("mosquitto did not start: " + self.process.stderr.read().decode()
                            + (log.read_text() if log.exists() else ""))
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", self.port)) == 0:
                    return self
            time.sleep(0.02)
        pytest.fail("mosquitto did not listen within 10 s")

    def kill(self, sig=signal.SIGKILL):
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(sig)
            self.process.wait(10)
        self.process = None

    def saved(self):
        """When the broker last saved its state (the persistence file's time in ns; 0 before the first save)."""
        path = self.directory / "mosquitto.db"
        return path.stat().st_mtime_ns if path.exists() else 0

    def restart(self):
        self.kill()
        return self.start()


def certificates(directory):
    """A CA, a server and a client certificate signed by it, and a second, unrelated CA."""
    d = Path(directory)
    openssl = program("openssl")

    def run(*args):
        subprocess.run([openssl, *args], check=True, capture_output=True, cwd=d)

    for ca in ("ca", "other-ca"):
        run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN={ca}",
            "-keyout", f"{ca}.key", "-out", f"{ca}.pem")
    run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", "server.key",
        "-out", "server.csr")
    (d / "san.cnf").write_text("subjectAltName=IP:127.0.0.1\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-days", "2", "-extfile", "san.cnf", "-out", "server.pem")
    run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=stand", "-keyout", "client.key", "-out", "client.csr")
    run("x509", "-req", "-in", "client.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-days", "2", "-out", "client.pem")
    return {"ca": d / "ca.pem", "cert": d / "server.pem", "key": d / "server.key", "other_ca": d / "other-ca.pem",
            "client_cert": d / "client.pem", "client_key": d / "client.key"}


@pytest.fixture
def mosquitto(tmp_path):
    """A started broker; it is stopped at the end of the test."""
    (tmp_path / "broker").mkdir()
    broker = Mosquitto(tmp_path / "broker").start()
    yield broker
    broker.kill(signal.SIGTERM)
