"""Content servers for tests: real nginx and a misbehaving fault server.

Both listen on 127.0.0.1 only, on ephemeral ports, and live only as long as
the `with` block (or start()/stop()) of the test that made them. Runtime
files go below $KORVEL_BUILD_DIR/scratch/servers (that is T:\\servers under
Wine), never under /etc.

Import from a test in tests/e2e:

    import os, sys
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
    from servers import NginxServer, FaultServer, Reply, AUTO, trust_test_ca

NginxServer(root=None, untrusted=False, slow_rate="256k", keep=False)
    with NginxServer() as ng:
        ng.port, ng.https_port          HTTP and HTTPS ports
        ng.root                          content root (host path); a fresh
                                         folder unless `root` names one
        ng.put("dir/a.bin", data)        writes a file below the root
        ng.path("dir/a.bin")             host path below the root
        ng.url("/dir/a.bin")             http://127.0.0.1:PORT/dir/a.bin
        ng.https_url("/dir/a.bin")       https://localhost:PORT/dir/a.bin
        ng.trust_ca()                    makes the Wine prefix trust the CA
                                         of this server (runs a Wine tool)
        ng.requests()                    access log: [{"method", "uri",
                                         "status", "range", "bytes", "scheme"}]
    Locations: /<path> the root; /norange/<path> the same files with byte
    ranges ignored (always 200); /slow/<path> the same at `slow_rate` bytes
    per second. HTTPS uses a 'localhost' certificate of a throwaway CA; with
    untrusted=True that CA is one the prefix never trusts.

FaultServer()
    with FaultServer() as fs:
        fs.port
        fs.url("/x")                     http://127.0.0.1:PORT/x
        fs.set("/x", body=b"...", ...)   how /x answers (Reply's arguments,
                                         or fs.set("/x", Reply(...)))
        fs.remove("/x")                  unknown paths answer 404
        fs.requests                      [Request] oldest first
        fs.requests_for("/x")            those for one path (query included)
        fs.clear_log()
    Request: .method, .path, .headers [(name, value)], .header(name) (any
    letter case), .range (the Range header or None), .time (monotonic).
    Reply(body=b"", status=None, ranges=True, content_length=AUTO,
          chunked=False, drop_after=None, reset=False, no_reply=False,
          lowercase_headers=False, headers=None, stall=0.0, stall_after=None,
          stall_for=0.0, chunk_size=65536, chunk_delay=0.0)
        status None answers 200, or 206 (with Content-Range) / 416 to a
        "Range: bytes=N-" request while `ranges` is on; a number forces that
        status. content_length: AUTO, None (no header, body ends at close)
        or a number to announce. drop_after: close after N body bytes
        (`reset` makes that a TCP reset). stall: wait before the status line;
        stall_after/stall_for: wait in the body. chunk_size/chunk_delay: a
        slow body. See fault.Reply for each field.

FaultServer(tls=True) serves HTTPS with the trusted CA's 'localhost'
certificate; its url() then reads https://localhost:PORT/...

StalledListener()
    with StalledListener() as sl: sl.port, sl.url("/x")
    listens but never accepts (queue full): connects run into the client's
    connect time-out.

closed_port()              a port on 127.0.0.1 that nothing listens on

trust_test_ca(ca=TRUSTED)  adds a CA to the prefix's LocalMachine Root store
TRUSTED, UNTRUSTED         the two throwaway CAs (tls.TestCA: .ca_pem,
                           .ca_der, .server_pem, .server_key)

From a shell (demo scripts): python3 -m servers nginx [--root DIR] [--trust]
prints the two base URLs and serves until interrupted.
"""
from .fault import AUTO, FaultServer, Reply, Request, StalledListener, closed_port
from .nginx import NginxServer
from .tls import TRUSTED, UNTRUSTED, TestCA, trust_test_ca

__all__ = ["AUTO", "FaultServer", "Reply", "Request", "StalledListener", "closed_port", "NginxServer", "TRUSTED", "UNTRUSTED", "TestCA",
           "trust_test_ca"]
