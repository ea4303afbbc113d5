"""Throwaway certificate authorities and 'localhost' server certificates.

Made once per build tree with openssl, below the servers' runtime folder:
    <build>/scratch/servers/tls/<name>/{ca.pem,ca.der,ca.key,server.pem,server.key}
The "trusted" authority is the one `trust_test_ca` adds to the Wine
prefix's LocalMachine Root store; the "untrusted" one is never added.
"""
import fcntl
import os
import subprocess
import uuid

from . import _paths

TLS_DIR = os.path.join(_paths.SERVERS_DIR, "tls")


class TestCA:
    """Files of one throwaway CA and its 'localhost' server certificate."""

    def __init__(self, name):
        self.name = name
        self.dir = os.path.join(TLS_DIR, name)
        self.ca_pem = os.path.join(self.dir, "ca.pem")
        self.ca_der = os.path.join(self.dir, "ca.der")
        self.ca_key = os.path.join(self.dir, "ca.key")
        self.server_pem = os.path.join(self.dir, "server.pem")
        self.server_key = os.path.join(self.dir, "server.key")

    def ensure(self):
        """Makes the files unless they are there already; returns self."""
        os.makedirs(TLS_DIR, exist_ok=True)
        with open(os.path.join(TLS_DIR, ".lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not all(os.path.exists(p) for p in (self.ca_pem, self.ca_der, self.server_pem, self.server_key)):
                self._make()
        return self

    def _make(self):
        os.makedirs(self.dir, exist_ok=True)
        tag = uuid.uuid4().hex[:8]

        def ssl(*args):
            subprocess.run(["openssl"] + list(args), check=True, cwd=self.dir,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)

        ssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "3650",
            "-keyout", "ca.key", "-out", "ca.pem",
            "-subj", "/CN=Korvel Test CA %s %s" % (self.name, tag),
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        ssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der")
        ssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=localhost")
        with open(os.path.join(self.dir, "server.ext"), "w") as f:
            f.write("basicConstraints=CA:FALSE\n"
                    "keyUsage=critical,digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth\n"
                    "subjectAltName=DNS:localhost\n")
        ssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-sha256", "-days", "3650", "-extfile", "server.ext", "-out", "server.pem")


TRUSTED = TestCA("trusted")
UNTRUSTED = TestCA("untrusted")


def trust_test_ca(ca=None, timeout=120):
    """Adds the CA to the Wine prefix's LocalMachine Root store.

    Runs the add_root_cert tool of the build tree under Wine; needs the
    prefix started (scripts/wine-prefix.sh start). Raises on failure.
    """
    ca = (ca or TRUSTED).ensure()
    tool = os.path.join(_paths.BIN_DIR, "add_root_cert.exe")
    env = dict(os.environ, KORVEL_BUILD_DIR=_paths.BUILD_DIR)
    proc = subprocess.run([_paths.WINERUN, tool, _paths.to_win(ca.ca_der)], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout, env=env)
    if proc.returncode != 0:
        raise RuntimeError("add_root_cert failed (%d): %s %s" % (
            proc.returncode, proc.stdout.decode("utf-8", "replace"), proc.stderr.decode("utf-8", "replace")))
    return ca
