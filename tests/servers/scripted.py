#!/usr/bin/python3
"""Scripted TCP server for protocols without a packaged peer (whois and friends).

Each accepted connection follows a script, a JSON object:

  {"steps": [STEP, ...]}                  the same steps for every connection
  {"connections": [{"steps": [...]}, ...]}  the Nth connection takes the Nth entry
                                          (the last one for all further connections)

STEP is one of (text values are UTF-8; *_hex and *_b64 forms give exact bytes):
  {"read_until": "\\r\\n"}  / "read_until_hex" / "read_until_b64"
                          read until the delimiter has arrived (it is consumed)
  {"read_bytes": N}       read exactly N bytes
  {"read_all": true}      read until the client closes its sending side
  {"send": "text"} / "send_hex" / "send_b64", optional "blocks": N, "delay_ms": D, "repeat": R
                          send the bytes in N nearly equal pieces with D ms between them;
                          R times over (default once), for replies too large to write out
  {"sleep_ms": D}
  {"close": true}         close now: FIN, then keep reading (and recording) for up to
                          two seconds so the client sees a clean end, not a reset
  {"reset": true}         close with RST
  {"hang": true}          never answer: keep reading until the client gives up
Read steps accept "timeout_ms" (default 30000); a read that times out or meets the
client's close ends the script and the connection. After the last step the
connection is closed as with "close".

Two ways to hand over a script:
 1. File: write DIR/script.json, then connect to --port. The file is read at
    every accept. Received bytes go to DIR/received-N.bin (N counts connections
    from 1 since the server started) and, when the connection is over,
    DIR/conn-N.json describes it ({"received": bytes, "steps_done": n, "end": why}).
    "connections" entries are counted from the last change of script.json.
 2. Session (safe when tests run in parallel): connect to --control-port and send
    the script as one line of JSON. The answer is one line
    {"port": P, "dir": "DIR/session-K"}: a private listener on 127.0.0.1:P that
    uses this script, recording into that directory as above. The first line may
    also name the listener's address ("address": "::1"); an address that cannot
    be bound is answered {"error": ...}. Another line of
    JSON on the control connection replaces the script (answer {"ok": true}).
    The listener closes when the control connection closes.
Without a script a connection is closed at once.
"""

import argparse
import base64
import json
import os
import socket
import struct
import sys
import threading
import time

MAX_CONNECTION_SECONDS = 300


def log(msg):
    sys.stderr.write("%s %s\n" % (time.strftime("%H:%M:%S"), msg))
    sys.stderr.flush()


def step_bytes(step, key):
    if key in step:
        return step[key].encode("utf-8")
    if key + "_hex" in step:
        return bytes.fromhex(step[key + "_hex"])
    if key + "_b64" in step:
        return base64.b64decode(step[key + "_b64"])
    return None


def write_json(path, obj):
    with open(path + ".tmp", "w") as f:
        json.dump(obj, f)
    os.replace(path + ".tmp", path)


class ClientGone(Exception):
    pass


class Connection:
    def __init__(self, sock, record_path):
        self.sock = sock
        self.buf = b""
        self.total = 0
        self.rec = open(record_path, "wb")
        self.started = time.monotonic()

    def _recv(self, timeout):
        timeout = min(timeout, MAX_CONNECTION_SECONDS - (time.monotonic() - self.started))
        if timeout <= 0:
            raise TimeoutError()
        self.sock.settimeout(timeout)
        data = self.sock.recv(65536)
        if not data:
            raise ClientGone()
        self.rec.write(data)
        self.rec.flush()
        self.total += len(data)
        return data

    def read_until(self, delim, timeout):
        end = time.monotonic() + timeout
        while delim not in self.buf:
            self.buf += self._recv(end - time.monotonic())
        i = self.buf.index(delim) + len(delim)
        self.buf = self.buf[i:]

    def read_bytes(self, n, timeout):
        end = time.monotonic() + timeout
        while len(self.buf) < n:
            self.buf += self._recv(end - time.monotonic())
        self.buf = self.buf[n:]

    def read_all(self, timeout):
        end = time.monotonic() + timeout
        try:
            while True:
                self._recv(end - time.monotonic())
        except ClientGone:
            self.buf = b""

    def send(self, data, blocks, delay):
        blocks = max(1, min(blocks, len(data) or 1))
        size, extra = divmod(len(data), blocks)
        pos = 0
        for i in range(blocks):
            n = size + (1 if i < extra else 0)
            self.sock.sendall(data[pos:pos + n])
            pos += n
            if delay and i + 1 < blocks:
                time.sleep(delay)

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_WR)
            end = time.monotonic() + 2
            while time.monotonic() < end:
                self._recv(end - time.monotonic())
        except (OSError, ClientGone, TimeoutError):
            pass
        self.sock.close()

    def reset(self):
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


def run_steps(conn, steps):
    """Returns (steps done, how it ended)."""
    done = 0
    for step in steps:
        timeout = step.get("timeout_ms", 30000) / 1000.0
        try:
            delim = step_bytes(step, "read_until")
            data = step_bytes(step, "send")
            if delim is not None:
                conn.read_until(delim, timeout)
            elif "read_bytes" in step:
                conn.read_bytes(int(step["read_bytes"]), timeout)
            elif step.get("read_all"):
                conn.read_all(timeout)
            elif data is not None:
                for _ in range(int(step.get("repeat", 1))):
                    conn.send(data, int(step.get("blocks", 1)), step.get("delay_ms", 0) / 1000.0)
            elif "sleep_ms" in step:
                time.sleep(step["sleep_ms"] / 1000.0)
            elif step.get("close"):
                conn.close()
                return done + 1, "close"
            elif step.get("reset"):
                conn.reset()
                return done + 1, "reset"
            elif step.get("hang"):
                conn.read_all(MAX_CONNECTION_SECONDS)
                conn.sock.close()
                return done + 1, "client closed while hanging"
            else:
                raise ValueError("unknown step %r" % step)
        except ClientGone:
            conn.sock.close()
            return done, "client closed"
        except TimeoutError:
            conn.sock.close()
            return done, "read timed out"
        except OSError as e:
            conn.sock.close()
            return done, "socket error: %s" % e
        done += 1
    conn.close()
    return done, "end of script"


class Listener:
    """One listening socket, its recording directory and its current script."""

    def __init__(self, sock, directory, script_file=None):
        self.sock = sock
        self.dir = directory
        self.script_file = script_file
        self.script = None
        self.script_text = None
        self.per_script = 0
        self.count = 0
        self.lock = threading.Lock()

    def set_script(self, text):
        """Called with the script's JSON text; a change restarts the per-connection index."""
        with self.lock:
            if text != self.script_text:
                self.script_text = text
                self.script = json.loads(text) if text is not None else None
                self.per_script = 0

    def next_connection(self):
        if self.script_file is not None:
            try:
                with open(self.script_file) as f:
                    text = f.read()
            except FileNotFoundError:
                text = None
            self.set_script(text)
        with self.lock:
            self.count += 1
            self.per_script += 1
            script, k = self.script, self.per_script
        if script is None:
            steps = [{"close": True}]
        elif isinstance(script, list):
            steps = script
        elif "connections" in script:
            conns = script["connections"]
            steps = conns[min(k, len(conns)) - 1].get("steps", []) if conns else []
        else:
            steps = script.get("steps", [])
        return self.count, steps

    def serve(self):
        while True:
            try:
                s, peer = self.sock.accept()
            except OSError:
                return  # closed
            try:
                n, steps = self.next_connection()
            except (ValueError, OSError, AttributeError, TypeError) as e:
                log("%s: bad script: %s" % (self.dir, e))
                s.close()
                continue
            threading.Thread(target=self.handle, args=(s, peer, n, steps), daemon=True).start()

    def handle(self, s, peer, n, steps):
        conn = Connection(s, os.path.join(self.dir, "received-%d.bin" % n))
        log("%s: connection %d from port %d, %d steps" % (self.dir, n, peer[1], len(steps)))
        try:
            done, why = run_steps(conn, steps)
        except Exception as e:  # a broken script must not take the server down
            done, why = -1, "error: %r" % e
            s.close()
        conn.rec.close()
        write_json(os.path.join(self.dir, "conn-%d.json" % n),
                   {"received": conn.total, "steps_done": done, "end": why})
        log("%s: connection %d over after %d steps: %s" % (self.dir, n, done, why))


def listen(port, address="127.0.0.1"):
    s = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((address, port))
        s.listen(64)
    except OSError:
        s.close()
        raise
    return s


class Control:
    def __init__(self, base):
        self.base = base
        self.lock = threading.Lock()
        self.sessions = 0

    def handle(self, s):
        f = s.makefile("rwb")
        listener = None
        try:
            for line in f:
                if not line.strip():
                    continue
                text = line.decode("utf-8")
                script = json.loads(text)  # refuse garbage before opening anything
                if listener is None:
                    address = script.get("address", "127.0.0.1") if isinstance(script, dict) else "127.0.0.1"
                    sock = listen(0, address)
                    with self.lock:
                        self.sessions += 1
                        k = self.sessions
                    d = os.path.join(self.base, "session-%d" % k)
                    os.makedirs(d, exist_ok=True)
                    listener = Listener(sock, d)
                    listener.set_script(text)
                    threading.Thread(target=listener.serve, daemon=True).start()
                    reply = {"port": listener.sock.getsockname()[1], "dir": d}
                    log("session %d on port %d" % (k, reply["port"]))
                else:
                    listener.set_script(text)
                    reply = {"ok": True}
                f.write((json.dumps(reply) + "\n").encode())
                f.flush()
        except (ValueError, UnicodeDecodeError, OSError) as e:
            try:
                f.write((json.dumps({"error": str(e)}) + "\n").encode())
                f.flush()
            except OSError:
                pass
        finally:
            if listener is not None:
                # shutdown wakes the thread blocked in accept()
                try:
                    listener.sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                listener.sock.close()
            s.close()

    def serve(self, sock):
        while True:
            s, _ = sock.accept()
            threading.Thread(target=self.handle, args=(s,), daemon=True).start()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--control-port", type=int, required=True)
    ap.add_argument("--dir", required=True)
    a = ap.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    main_sock = listen(a.port)
    control_sock = listen(a.control_port)
    threading.Thread(target=Listener(main_sock, a.dir, os.path.join(a.dir, "script.json")).serve,
                     daemon=True).start()
    log("listening on %d, control on %d" % (a.port, a.control_port))
    Control(a.dir).serve(control_sock)


if __name__ == "__main__":
    main()
