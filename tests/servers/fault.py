"""A small HTTP/1.1 server on 127.0.0.1 that misbehaves on request.

Every request is recorded; each path answers as its `Reply` says. Unknown
paths answer 404. The server runs in threads of the calling process.
"""
import http.server
import re
import socket
import ssl
import struct
import threading
import time

AUTO = object()  # Content-Length: the length of what is sent

_RANGE = re.compile(r"^\s*bytes\s*=\s*(\d+)\s*-\s*$")

_REASONS = {200: "OK", 206: "Partial Content", 404: "Not Found", 416: "Range Not Satisfiable",
            500: "Internal Server Error", 503: "Service Unavailable"}


class Reply:
    """How the fault server answers one path.

    body               bytes of the full resource.
    status             None: 200, or 206/416 for a "Range: bytes=N-" request
                       when `ranges` is on; any number forces that status
                       (206 to a request without a range, 404, 416, 503...)
                       and sends `body` as is.
    ranges             honour "Range: bytes=N-": 206 with body[N:] and a
                       Content-Range, or 416 when N >= len(body).
    content_length     AUTO (the length of what is sent), None (no header: the
                       body ends when the connection closes) or a number to
                       announce (larger or smaller than the body).
    chunked            send the body with Transfer-Encoding: chunked.
    drop_after         close the connection after this many body bytes.
    reset              end dropped connections (and `no_reply`) with a TCP
                       reset instead of an orderly close.
    no_reply           read the request, then close without answering.
    lowercase_headers  send every header name in lower case.
    headers            extra response headers, {name: value}.
    stall              seconds to wait before the status line.
    stall_after        body bytes after which to wait `stall_for` seconds.
    stall_for          see stall_after.
    chunk_size         bytes per write of the body.
    chunk_delay        seconds between writes (a slow body).
    header_padding     bytes of extra header lines ("X-Pad-N: ...") to send.
    header_delay       seconds between header lines (headers sent slowly).
    """

    def __init__(self, body=b"", status=None, ranges=True, content_length=AUTO, chunked=False,
                 drop_after=None, reset=False, no_reply=False, lowercase_headers=False, headers=None,
                 stall=0.0, stall_after=None, stall_for=0.0, chunk_size=65536, chunk_delay=0.0,
                 header_padding=0, header_delay=0.0):
        self.body = bytes(body)
        self.status = status
        self.ranges = ranges
        self.content_length = content_length
        self.chunked = chunked
        self.drop_after = drop_after
        self.reset = reset
        self.no_reply = no_reply
        self.lowercase_headers = lowercase_headers
        self.headers = dict(headers or {})
        self.stall = stall
        self.stall_after = stall_after
        self.stall_for = stall_for
        self.chunk_size = max(1, int(chunk_size))
        self.chunk_delay = chunk_delay
        self.header_padding = header_padding
        self.header_delay = header_delay


class Request:
    """One request as received: method, path (with query), headers."""

    def __init__(self, method, path, headers, time_received):
        self.method = method
        self.path = path
        self.headers = list(headers)  # [(name, value)] in the order sent
        self.time = time_received

    def header(self, name, default=None):
        """The value of a header, its name in any letter case."""
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return default

    @property
    def range(self):
        return self.header("Range")

    def __repr__(self):
        return "Request(%s %s %r)" % (self.method, self.path, self.headers)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KorvelFault/1.0"

    def log_message(self, format, *args):  # noqa: A002 - silence the default stderr log
        pass

    def do_GET(self):
        owner = self.server.owner
        owner._record(Request(self.command, self.path, self.headers.items(), time.monotonic()))
        reply = owner._reply_for(self.path)
        self.close_connection = True
        try:
            self._answer(reply, owner._stop)
        except (OSError, ssl.SSLError):
            pass

    do_HEAD = do_GET

    def _abort(self, reply):
        if reply.reset:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
        else:
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _answer(self, reply, stop):
        if reply is None:
            reply = Reply(b"not found\n", status=404)
        if reply.no_reply:
            self._abort(reply)
            return
        if reply.stall and stop.wait(reply.stall):
            return

        body = reply.body
        status = reply.status
        headers = []
        requested = self.headers.get("Range")
        if status is None:
            status = 200
            m = _RANGE.match(requested) if (requested and reply.ranges) else None
            if m:
                start = int(m.group(1))
                if start < len(body):
                    status = 206
                    headers.append(("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body))))
                    body = body[start:]
                else:
                    status = 416
                    headers.append(("Content-Range", "bytes */%d" % len(body)))
                    body = b""

        if reply.chunked:
            headers.append(("Transfer-Encoding", "chunked"))
        if reply.content_length is AUTO:
            if not reply.chunked:
                headers.append(("Content-Length", str(len(body))))
        elif reply.content_length is not None:
            headers.append(("Content-Length", str(reply.content_length)))
        headers.append(("Content-Type", "application/octet-stream"))
        headers.append(("Connection", "close"))
        headers.extend(reply.headers.items())
        if reply.lowercase_headers:
            headers = [(k.lower(), v) for k, v in headers]

        padding = reply.header_padding
        n = 0
        while padding > 0:
            value = "p" * max(1, min(1000, padding - 12))
            headers.append(("X-Pad-%d" % n, value))
            padding -= len(value) + 12
            n += 1
        lines = ["HTTP/1.1 %d %s\r\n" % (status, _REASONS.get(status, "Status"))]
        lines += ["%s: %s\r\n" % kv for kv in headers] + ["\r\n"]
        sock = self.connection
        if reply.header_delay:
            for line in lines:
                sock.sendall(line.encode("latin-1"))
                if stop.wait(reply.header_delay):
                    return
        else:
            sock.sendall("".join(lines).encode("latin-1"))
        if self.command == "HEAD":
            return

        limit = len(body) if reply.drop_after is None else min(len(body), reply.drop_after)
        sent = 0
        stalled = False
        while True:
            if reply.stall_after is not None and not stalled and sent >= reply.stall_after:
                stalled = True
                if stop.wait(reply.stall_for):
                    return
            if sent >= limit:
                break
            end = min(limit, sent + reply.chunk_size)
            if reply.stall_after is not None and not stalled and sent < reply.stall_after < end:
                end = reply.stall_after
            piece = body[sent:end]
            if reply.chunked:
                sock.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
            else:
                sock.sendall(piece)
            sent = end
            if reply.chunk_delay and sent < limit and stop.wait(reply.chunk_delay):
                return
        if reply.drop_after is not None:
            self._abort(reply)
            return
        if reply.chunked:
            sock.sendall(b"0\r\n\r\n")


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass  # a client that went away is not the server's problem


class FaultServer:
    """The fault server; use as a context manager.

        with FaultServer() as fs:
            fs.set("/a.bin", body=data, drop_after=1000)
            url = fs.url("/a.bin")        # http://127.0.0.1:PORT/a.bin
            ...
            fs.requests_for("/a.bin")[0].range
    """

    def __init__(self, tls=False, ca=None):
        """tls: serve HTTPS with the 'localhost' certificate of `ca`
        (servers.TRUSTED unless given); urls then name localhost."""
        self.tls = tls
        self.ca = ca
        self._replies = {}
        self._log = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._server = None
        self._thread = None
        self.port = None

    # -- lifecycle ---------------------------------------------------------
    def start(self):
        self._stop.clear()
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.owner = self
        self.port = self._server.server_address[1]
        if self.tls:
            from . import tls as _tls
            self.ca = (self.ca or _tls.TRUSTED).ensure()
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(self.ca.server_pem, self.ca.server_key)
            # The handshake runs in the request's thread, not in the loop
            # that accepts connections.
            self._server.socket = context.wrap_socket(self._server.socket, server_side=True,
                                                      do_handshake_on_connect=False)
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
                                        name="fault-server-%d" % self.port, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._server is None:
            return
        self._stop.set()  # wakes stalled replies
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(5)
        self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- behaviour ---------------------------------------------------------
    def url(self, path="/"):
        if not path.startswith("/"):
            path = "/" + path
        if self.tls:
            return "https://localhost:%d%s" % (self.port, path)
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def set_sequence(self, path, replies):
        """path answers with each Reply in turn, the last one from then on."""
        with self._lock:
            self._replies[path] = list(replies)

    def set(self, path, reply=None, **kwargs):
        """Sets how `path` answers: a Reply, or Reply's keyword arguments."""
        if reply is None:
            reply = Reply(**kwargs)
        with self._lock:
            self._replies[path] = reply
        return reply

    def remove(self, path):
        with self._lock:
            self._replies.pop(path, None)

    def _reply_for(self, path):
        with self._lock:
            reply = self._replies.get(path)
            if reply is None:
                reply = self._replies.get(path.split("?", 1)[0])
            if isinstance(reply, list):
                return reply.pop(0) if len(reply) > 1 else reply[0]
            return reply

    # -- request log -------------------------------------------------------
    def _record(self, request):
        with self._lock:
            self._log.append(request)

    @property
    def requests(self):
        """Every request received so far, oldest first."""
        with self._lock:
            return list(self._log)

    def requests_for(self, path):
        return [r for r in self.requests if r.path == path]

    def clear_log(self):
        with self._lock:
            self._log.clear()


class StalledListener:
    """A port that listens but never accepts, its queue filled up: a client's
    connect is never answered and runs into its connect time-out.

        with StalledListener() as sl:
            sl.url("/x")                  # http://127.0.0.1:PORT/x
    """

    def __init__(self):
        self.port = None
        self._listener = None
        self._fillers = []

    def start(self):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(0)
        self.port = self._listener.getsockname()[1]
        # Linux drops further SYNs once the accept queue is full.
        for _ in range(4):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            try:
                s.connect(("127.0.0.1", self.port))
            except (BlockingIOError, OSError):
                pass
            self._fillers.append(s)
        time.sleep(0.2)
        return self

    def stop(self):
        for s in self._fillers:
            s.close()
        self._fillers = []
        if self._listener is not None:
            self._listener.close()
            self._listener = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path if path.startswith("/") else "/" + path)


def closed_port():
    """A port on 127.0.0.1 that nothing listens on (just released)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
