"""python3 -m servers nginx [--root DIR] [--trust]: serve until interrupted."""
import argparse
import signal
import sys
import threading

from . import NginxServer


def main():
    parser = argparse.ArgumentParser(prog="python3 -m servers")
    sub = parser.add_subparsers(dest="kind", required=True)
    ng = sub.add_parser("nginx", help="serve a content root over HTTP and HTTPS")
    ng.add_argument("--root", help="content root (default: a fresh folder)")
    ng.add_argument("--trust", action="store_true", help="make the Wine prefix trust the server's CA")
    args = parser.parse_args()

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    with NginxServer(root=args.root) as server:
        if args.trust:
            server.trust_ca()
        print("root %s" % server.root)
        print("http %s" % server.url("/"))
        print("https %s" % server.https_url("/"), flush=True)
        try:
            stop.wait()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
