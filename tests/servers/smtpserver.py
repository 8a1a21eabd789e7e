#!/usr/bin/python3
"""SMTP test server: listeners sharing one spool.

  --port        STARTTLS offered, AUTH offered (LOGIN, PLAIN) but not required
  --auth-port   STARTTLS offered, AUTH required before MAIL
  --notls-port  no STARTTLS, AUTH offered but not required
  --tls-port    TLS from the first byte (as on port 465), AUTH offered but not required (optional)

AUTH is offered before STARTTLS too. A recipient containing "reject" gets 550.
Every accepted message becomes SPOOL/NNNN.eml (the DATA bytes as received, dot
stuffing removed) and then SPOOL/NNNN.json:
  {"mail_from", "rcpt_tos", "mail_options", "rcpt_options", "auth_user",
   "auth_mechanism", "helo", "tls", "port"}
The .json file appears last: once it exists, the message is complete.
"""

import argparse
import json
import logging
import os
import re
import signal
import socket
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Spool:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        nums = [int(m.group(1)) for m in (re.match(r"(\d+)\.eml$", f) for f in os.listdir(path)) if m]
        self.next = max(nums, default=0) + 1

    def store(self, content, meta):
        with self.lock:
            n = self.next
            self.next += 1
        base = os.path.join(self.path, "%04d" % n)
        for ext, data in ((".eml", content), (".json", json.dumps(meta, indent=1).encode())):
            with open(base + ext + ".tmp", "wb") as f:
                f.write(data)
            os.replace(base + ext + ".tmp", base + ext)
        return n


def text(x):
    return x.decode("utf-8", "replace") if isinstance(x, (bytes, bytearray)) else x


class Handler:
    def __init__(self, spool, port):
        self.spool = spool
        self.port = port

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if "reject" in address.lower():
            return "550 5.1.1 <%s>: recipient rejected" % address
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        meta = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": list(envelope.rcpt_tos),
            "mail_options": list(envelope.mail_options),
            "rcpt_options": list(envelope.rcpt_options),
            "auth_user": text(session.auth_data) if session.authenticated else None,
            "auth_mechanism": getattr(session, "kv_mechanism", None) if session.authenticated else None,
            "helo": session.host_name,
            # session.ssl is only set by STARTTLS; an implicit-TLS connection shows on its transport.
            "tls": session.ssl is not None or server.transport.get_extra_info("ssl_object") is not None,
            "port": self.port,
        }
        n = self.spool.store(envelope.original_content or b"", meta)
        return "250 2.0.0 OK queued as %04d" % n


def make_authenticator(user, password):
    def authenticator(server, session, envelope, mechanism, auth_data):
        if isinstance(auth_data, LoginPassword) and \
                auth_data.login == user.encode() and auth_data.password == password.encode():
            session.kv_mechanism = mechanism
            return AuthResult(success=True, auth_data=user)
        return AuthResult(success=False, handled=False)
    return authenticator


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--auth-port", type=int, required=True)
    ap.add_argument("--notls-port", type=int, required=True)
    ap.add_argument("--tls-port", type=int)
    ap.add_argument("--spool", required=True)
    ap.add_argument("--cert", required=True)
    ap.add_argument("--key", required=True)
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    a = ap.parse_args()

    logging.basicConfig(level=logging.INFO, stream=sys.stderr, format="%(asctime)s %(name)s %(message)s")

    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(a.cert, a.key)
    spool = Spool(a.spool)
    auth = make_authenticator(a.user, a.password)

    # A busy port would only show after the controller's ready_timeout; fail at once instead.
    for port in (a.port, a.auth_port, a.notls_port):
        with socket.socket() as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("127.0.0.1", port))

    controllers = []
    for port, tls, required in ((a.port, ctx, False), (a.auth_port, ctx, True), (a.notls_port, None, False)):
        c = Controller(Handler(spool, port), hostname="127.0.0.1", port=port, server_hostname="localhost",
                       ready_timeout=10, authenticator=auth, auth_required=required, auth_require_tls=False,
                       tls_context=tls, require_starttls=False)
        c.start()
        controllers.append(c)
    if a.tls_port:
        c = Controller(Handler(spool, a.tls_port), hostname="127.0.0.1", port=a.tls_port,
                       server_hostname="localhost", ready_timeout=10, authenticator=auth, auth_required=False,
                       auth_require_tls=False, ssl_context=ctx)
        c.start()
        controllers.append(c)
    logging.info("listening on %d (STARTTLS), %d (AUTH required), %d (no STARTTLS)",
                 a.port, a.auth_port, a.notls_port)

    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    while not done.wait(1):
        pass
    for c in controllers:
        c.stop()


if __name__ == "__main__":
    main()
