"""nginx from the distribution, run in the foreground on 127.0.0.1.

The configuration, logs, temporary folders and (by default) the content root
are written into a fresh folder below <build>/scratch/servers; nothing under
/etc is read or changed and no system service is used.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import time

from . import _paths
from . import tls

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _accepting(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


_CONF = r"""
daemon off;
master_process off;
worker_processes 1;
%(user)s
pid %(dir)s/nginx.pid;
error_log %(dir)s/error.log warn;
events { worker_connections 256; }
http {
    log_format korvel escape=json
        '{"method":"$request_method","uri":"$request_uri","status":$status,'
        '"range":"$http_range","bytes":$body_bytes_sent,"scheme":"$scheme"}';
    access_log %(dir)s/access.log korvel;
    client_body_temp_path %(dir)s/tmp/body;
    proxy_temp_path %(dir)s/tmp/proxy;
    fastcgi_temp_path %(dir)s/tmp/fastcgi;
    uwsgi_temp_path %(dir)s/tmp/uwsgi;
    scgi_temp_path %(dir)s/tmp/scgi;
    types { application/json json; text/plain txt; }
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 30;
    server {
        listen 127.0.0.1:%(http_port)d;
        listen 127.0.0.1:%(https_port)d ssl;
        server_name localhost 127.0.0.1;
        ssl_certificate %(cert)s;
        ssl_certificate_key %(key)s;
        ssl_protocols TLSv1.2 TLSv1.3;
        root %(root)s;
        location /norange/ { alias %(root)s/; max_ranges 0; }
        location /slow/ { alias %(root)s/; limit_rate %(slow_rate)s; }
    }
}
"""


class NginxServer:
    """nginx serving a content root over HTTP and HTTPS; a context manager.

        with NginxServer() as ng:
            ng.put("files/a.bin", data)
            ng.url("/files/a.bin")          # http://127.0.0.1:PORT/files/a.bin
            ng.https_url("/files/a.bin")    # https://localhost:PORT/files/a.bin
    """

    def __init__(self, root=None, untrusted=False, slow_rate="256k", keep=False):
        self.dir = None
        self.root = os.path.abspath(root) if root else None
        self._own_root = root is None
        self.ca = tls.UNTRUSTED if untrusted else tls.TRUSTED
        self.slow_rate = slow_rate
        self.keep = keep
        self.port = None
        self.https_port = None
        self._proc = None

    # -- lifecycle ---------------------------------------------------------
    def start(self):
        self.ca.ensure()
        self.dir = _paths.fresh_dir("nginx")
        if self._own_root:
            self.root = os.path.join(self.dir, "root")
        os.makedirs(self.root, exist_ok=True)
        os.makedirs(os.path.join(self.dir, "tmp"), exist_ok=True)
        last_error = ""
        for _ in range(5):
            self.port, self.https_port = _free_port(), _free_port()
            if self.port == self.https_port:
                continue
            conf = os.path.join(self.dir, "nginx.conf")
            with open(conf, "w") as f:
                f.write(_CONF % {
                    "dir": self.dir, "root": self.root, "http_port": self.port, "https_port": self.https_port,
                    "cert": self.ca.server_pem, "key": self.ca.server_key, "slow_rate": self.slow_rate,
                    "user": "user root;" if os.geteuid() == 0 else ""})
            log = open(os.path.join(self.dir, "nginx.out"), "wb")
            self._proc = subprocess.Popen([NGINX, "-e", os.path.join(self.dir, "error.log"), "-p", self.dir,
                                           "-c", conf], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            log.close()
            deadline = time.monotonic() + 15
            while time.monotonic() < deadline and self._proc.poll() is None:
                if _accepting(self.port) and _accepting(self.https_port):
                    return self
                time.sleep(0.05)
            last_error = self._read("error.log") + self._read("nginx.out")
            self._kill()
            if "in use" not in last_error:
                break
        raise RuntimeError("nginx did not start: " + last_error)

    def _read(self, name):
        try:
            with open(os.path.join(self.dir, name), "r", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def _kill(self):
        if self._proc is None:
            return
        if self._proc.poll() is None:
            self._proc.send_signal(signal.SIGTERM)
            try:
                self._proc.wait(10)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait(10)
        self._proc = None

    def stop(self):
        self._kill()
        if self.dir and not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- content -----------------------------------------------------------
    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path if path.startswith("/") else "/" + path)

    def https_url(self, path="/"):
        return "https://localhost:%d%s" % (self.https_port, path if path.startswith("/") else "/" + path)

    def path(self, rel):
        """Host path of a file below the content root."""
        return os.path.join(self.root, *rel.strip("/").split("/"))

    def put(self, rel, data):
        """Writes a file below the content root; returns its host path."""
        p = self.path(rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def trust_ca(self):
        """Makes the Wine prefix trust this server's CA (see tls.trust_test_ca)."""
        return tls.trust_test_ca(self.ca)

    # -- request log -------------------------------------------------------
    def requests(self):
        """The access log: dicts with method, uri, status, range, bytes, scheme."""
        out = []
        for line in self._read("access.log").splitlines():
            try:
                out.append(json.loads(line))
            except ValueError:
                pass
        return out
