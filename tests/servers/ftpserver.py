#!/usr/bin/python3
"""FTP test server: anonymous read-only and one user with full rights, on the same root.

Started by kvservers.py; runs in the foreground until killed.
"""

import argparse
import logging
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--root", required=True)
    ap.add_argument("--passive", required=True, help="MIN-MAX")
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    a = ap.parse_args()

    logging.basicConfig(level=logging.INFO, stream=sys.stderr,
                        format="%(asctime)s %(message)s")

    auth = DummyAuthorizer()
    auth.add_user(a.user, a.password, a.root, perm="elradfmwMT")
    auth.add_anonymous(a.root)  # list and retrieve only

    lo, hi = (int(x) for x in a.passive.split("-"))
    handler = FTPHandler
    handler.authorizer = auth
    handler.passive_ports = list(range(lo, hi + 1))
    handler.banner = "KvInet test FTP server ready."

    server = FTPServer(("127.0.0.1", a.port), handler)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        server.serve_forever()
    finally:
        server.close_all()


if __name__ == "__main__":
    main()
