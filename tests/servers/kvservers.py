#!/usr/bin/python3
"""Start and stop the real servers KvInet's tests talk to.

    kvservers.py start NAME [NAME...] --dir DIR
    kvservers.py stop  NAME [NAME...] --dir DIR
    kvservers.py run   NAME [NAME...] --dir DIR -- COMMAND [ARG...]
    kvservers.py env   --dir DIR

Every server gets DIR/NAME/ with its configuration, log, pid file and data, and
listens on 127.0.0.1 only, on high ports picked per run. Once a server answers,
DIR/NAME/env holds its KEY=VALUE lines (see README.md for the keys).
NAME may be "all". Standard library only; the FTP and SMTP servers need
Debian's python3-pyftpdlib and python3-aiosmtpd, hence /usr/bin/python3.
"""

import argparse
import fcntl
import json
import os
import pwd
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
START_TIMEOUT = 15.0      # seconds a server gets to answer, retries included
STOP_GRACE = 3.0          # seconds between TERM and KILL
MAX_ATTEMPTS = 5          # port races are retried with fresh ports

NGINX_USER, NGINX_PASSWORD = "kvuser", "kvpass"
SQUID_USER, SQUID_PASSWORD = "proxyuser", "proxypass"
FTP_USER, FTP_PASSWORD = "ftpuser", "ftppass"
SMTP_USER, SMTP_PASSWORD = "mailuser", "mailpass"

INDEX_HTML = (b"<!DOCTYPE html>\n"
              b"<html><head><title>KvInet test page</title></head>\n"
              b"<body><h1>KvInet test page</h1><p>Served by the local test server.</p></body></html>\n")
SECRET_TXT = b"The secret word is kvsecret.\n"
README_TXT = b"KvInet test FTP area.\n"
HELLO_TXT = b"Hello from the test FTP server.\r\nSecond line.\r\n"
# vsftpd's ordinary account: a system user whose login folder is not the server's root.
VSFTPD_USER = "kvftpuser"
VSFTPD_PASSWORD = "kvftppass"
VSFTPD_USER_HOME = "/var/lib/kvftpuser"  # vsftpd enters it before the login folder (local_root)


class StartError(Exception):
    pass


class PortBusy(Exception):
    """The daemon lost a port race; try again with other ports."""


# --------------------------------------------------------------------------- helpers

def log(msg):
    sys.stderr.write("kvservers: %s\n" % msg)
    sys.stderr.flush()


def write_file(path, data, mode=0o644):
    if isinstance(data, str):
        data = data.encode("utf-8")
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.chmod(tmp, mode)
    os.replace(tmp, path)


def chown_tree(path, user, group=None):
    if os.geteuid() != 0:
        return
    for root, dirs, files in os.walk(path):
        for n in [root] + [os.path.join(root, x) for x in dirs + files]:
            shutil.chown(n, user, group or user)


def chmod_readable(path):
    """a+rX on the whole tree, like chmod -R a+rX."""
    for root, dirs, files in os.walk(path):
        os.chmod(root, os.stat(root).st_mode | 0o555)
        for f in files:
            p = os.path.join(root, f)
            if not os.path.islink(p):
                os.chmod(p, os.stat(p).st_mode | 0o444)


def world_traversable(path):
    """True when a process running as nobody can reach path."""
    p = os.path.abspath(path)
    while True:
        if not os.stat(p).st_mode & 0o001:
            return False
        parent = os.path.dirname(p)
        if parent == p:
            return True
        p = parent


def run_quiet(argv, **kw):
    r = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, **kw)
    if r.returncode != 0:
        raise StartError("%s failed:\n%s" % (" ".join(argv), r.stdout.decode(errors="replace")))
    return r.stdout.decode()


def apr1(password):
    return run_quiet(["openssl", "passwd", "-apr1", password]).strip()


class FileLock:
    def __init__(self, path):
        self.path = path

    def __enter__(self):
        self.f = open(self.path, "a")
        fcntl.flock(self.f, fcntl.LOCK_EX)
        return self

    def __exit__(self, *a):
        fcntl.flock(self.f, fcntl.LOCK_UN)
        self.f.close()


# --------------------------------------------------------------------------- processes

def proc_stat(pid):
    """(state, pgrp, starttime) of pid, or None when there is no such process."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            s = f.read()
    except (OSError, ValueError):
        return None
    rest = s[s.rindex(")") + 2:].split()
    return rest[0], int(rest[2]), int(rest[19])


def alive(pid, start):
    st = proc_stat(pid)
    return st is not None and st[0] not in ("Z", "X") and st[2] == start


def read_pidfile(sd):
    try:
        with open(os.path.join(sd, "pid")) as f:
            pid, start = f.read().split()
        return int(pid), int(start)
    except (OSError, ValueError):
        return None


def group_members(pgid, not_before):
    out = []
    for e in os.listdir("/proc"):
        if e.isdigit():
            st = proc_stat(int(e))
            if st and st[1] == pgid and st[0] not in ("Z", "X") and st[2] >= not_before:
                out.append(int(e))
    return out


def kill_recorded(pid, start):
    """TERM the process group we created for the daemon, KILL what is left after STOP_GRACE."""
    if not alive(pid, start):
        return
    st = proc_stat(pid)
    group = st is not None and st[1] == pid

    def send(sig):
        try:
            if group:
                os.killpg(pid, sig)
            else:
                os.kill(pid, sig)
        except ProcessLookupError:
            pass

    send(signal.SIGTERM)
    deadline = time.monotonic() + STOP_GRACE
    while time.monotonic() < deadline:
        if not alive(pid, start) and not (group and group_members(pid, start)):
            return
        time.sleep(0.05)
    if alive(pid, start):
        send(signal.SIGKILL)
    # Workers or helpers that outlived their parent belong to our group too.
    if group:
        for m in group_members(pid, start):
            try:
                os.kill(m, signal.SIGKILL)
            except ProcessLookupError:
                pass
    deadline = time.monotonic() + 2
    while alive(pid, start) and time.monotonic() < deadline:
        time.sleep(0.05)


def spawn(argv, sd, logname):
    logpath = os.path.join(sd, logname)
    logf = open(logpath, "ab")
    logf.write(("\n=== %s %s\n" % (time.strftime("%H:%M:%S"), " ".join(argv))).encode())
    logf.flush()
    offset = logf.tell()
    # A new session: CTest must not wait on the daemon, and stop can signal the whole group.
    p = subprocess.Popen(argv, cwd=sd, stdin=subprocess.DEVNULL, stdout=logf, stderr=subprocess.STDOUT,
                         start_new_session=True, close_fds=True)
    logf.close()
    st = proc_stat(p.pid)
    start = st[2] if st else 0
    write_file(os.path.join(sd, "pid"), "%d %d\n" % (p.pid, start))
    return p, start, logpath, offset


def log_tail(path, offset=0, lines=25):
    try:
        with open(path, "rb") as f:
            f.seek(offset)
            data = f.read().decode(errors="replace")
    except OSError:
        return ""
    return "\n".join(data.splitlines()[-lines:])


# --------------------------------------------------------------------------- ports

def _ephemeral_range():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            a, b = f.read().split()
        return int(a), int(b)
    except (OSError, ValueError):
        return 32768, 60999


def _candidates():
    # Stay out of the ephemeral range, where outgoing connections take their local ports.
    lo, hi = _ephemeral_range()
    ranges = [r for r in ((10000, lo - 1), (hi + 1, 65000)) if r[1] - r[0] >= 1000]
    return ranges or [(10000, 65000)]


def _bindable(port, v6):
    tries = [(socket.AF_INET, socket.SOCK_STREAM, "127.0.0.1"), (socket.AF_INET, socket.SOCK_DGRAM, "127.0.0.1")]
    if v6:
        tries.append((socket.AF_INET6, socket.SOCK_STREAM, "::1"))
    for fam, typ, addr in tries:
        s = socket.socket(fam, typ)
        try:
            s.bind((addr, port))
        except OSError:
            return False
        finally:
            s.close()
    return True


def _reserved(root):
    out = set()
    for n in os.listdir(root):
        try:
            with open(os.path.join(root, n, "ports")) as f:
                out.update(json.load(f))
        except (OSError, ValueError):
            pass
    return out


def pick_ports(root, sd, singles, block=0, v6=False):
    """singles free ports, plus a run of block consecutive free ports (passive FTP).

    Ports recorded by other servers of the same DIR are avoided; the choice is
    recorded in sd/ports under a lock so parallel launchers don't pick the same."""
    rng = random.SystemRandom()
    with FileLock(os.path.join(root, ".ports.lock")):
        taken = _reserved(root) - set(_own_ports(sd))
        ranges = _candidates()
        chosen = []
        for _ in range(2000):
            if len(chosen) == singles:
                break
            a, b = rng.choice(ranges)
            p = rng.randint(a, b)
            if p not in taken and p not in chosen and _bindable(p, v6):
                chosen.append(p)
        run = []
        for _ in range(500):
            if not block:
                break
            a, b = rng.choice(ranges)
            base = rng.randint(a, b - block)
            cand = list(range(base, base + block))
            if not (set(cand) & (taken | set(chosen))) and all(_bindable(p, False) for p in cand):
                run = cand
                break
        if len(chosen) < singles or len(run) < block:
            raise StartError("no free ports found")
        write_file(os.path.join(sd, "ports"), json.dumps(chosen + run))
    return chosen, run


def _own_ports(sd):
    try:
        with open(os.path.join(sd, "ports")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return []


def ipv6_loopback():
    try:
        s = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        s.bind(("::1", 0))
        s.close()
        return True
    except OSError:
        return False


# --------------------------------------------------------------------------- readiness

def _socket_inodes(pid):
    out = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                l = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if l.startswith("socket:["):
                out.add(l[8:-1])
    except OSError:
        pass
    return out


def _listening(proto, port):
    """Inodes of sockets bound to port in /proc/net/PROTO(6) (TCP: listening only)."""
    out = set()
    for fn in (proto, proto + "6"):
        try:
            with open("/proc/net/" + fn) as f:
                next(f)
                for line in f:
                    parts = line.split()
                    if int(parts[1].rsplit(":", 1)[1], 16) != port:
                        continue
                    if proto == "tcp" and parts[3] != "0A":
                        continue
                    out.add(parts[9])
        except OSError:
            pass
    return out


def owns(pid, start, proto, port):
    """True when our daemon (or its process group) holds the socket on port.

    A port answering is not enough: after a lost race it may be someone else's."""
    inodes = _listening(proto, port)
    if not inodes:
        return False
    for p in [pid] + group_members(pid, start):
        if inodes & _socket_inodes(p):
            return True
    return False


def tcp_answers(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


def ntp_answers(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(0.3)
    try:
        s.sendto(b"\x23" + b"\0" * 47, ("127.0.0.1", port))
        data = s.recv(512)
        return len(data) >= 48 and data[0] & 7 == 4
    except OSError:
        return False
    finally:
        s.close()


def dns_answers(port):
    q = struct.pack(">HHHHHH", 0x4b56, 0x0100, 1, 0, 0, 0) + b"\x03www\x04test\x07example\x00" + struct.pack(">HH", 1, 1)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(0.3)
    try:
        s.sendto(q, ("127.0.0.1", port))
        data = s.recv(512)
        return data[:2] == q[:2]
    except OSError:
        return False
    finally:
        s.close()


BUSY_MARKS = ("Address already in use", "address already in use", "EADDRINUSE", "Errno 98",
              "could not bind listening")


# --------------------------------------------------------------------------- TLS material

def ensure_ca(root):
    """Test CA and localhost server certificate, made once per DIR and shared."""
    ca = os.path.join(root, "ca")
    os.makedirs(ca, exist_ok=True)
    files = {k: os.path.join(ca, k) for k in ("ca.pem", "ca.key", "server.pem", "server.key")}
    with FileLock(os.path.join(root, ".ca.lock")):
        if all(os.path.exists(f) for f in files.values()):
            return files
        run_quiet(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "3650",
                   "-subj", "/O=KvInet tests/CN=KvInet Test CA",
                   "-keyout", files["ca.key"], "-out", files["ca.pem"] + ".tmp",
                   "-addext", "basicConstraints=critical,CA:TRUE",
                   "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                   "-addext", "subjectKeyIdentifier=hash"])
        ext = os.path.join(ca, "server.ext")
        write_file(ext, "basicConstraints=critical,CA:FALSE\n"
                        "keyUsage=critical,digitalSignature,keyEncipherment\n"
                        "extendedKeyUsage=serverAuth\n"
                        "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n"
                        "authorityKeyIdentifier=keyid\n")
        csr = os.path.join(ca, "server.csr")
        run_quiet(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-sha256",
                   "-subj", "/O=KvInet tests/CN=localhost", "-keyout", files["server.key"], "-out", csr])
        run_quiet(["openssl", "x509", "-req", "-in", csr, "-CA", files["ca.pem"] + ".tmp", "-CAkey", files["ca.key"],
                   "-CAcreateserial", "-days", "825", "-sha256", "-extfile", ext, "-out", files["server.pem"] + ".tmp"])
        os.replace(files["server.pem"] + ".tmp", files["server.pem"])
        for k in ("ca.key", "server.key"):
            os.chmod(files[k], 0o644)  # throw-away test keys; daemons that drop privileges read them
        os.replace(files["ca.pem"] + ".tmp", files["ca.pem"])  # last: its presence means "all done"
        chmod_readable(ca)
    return files


# --------------------------------------------------------------------------- servers
#
# Each server: setup(ctx) -> Launch for one attempt with fresh ports.

class Ctx:
    def __init__(self, root, name):
        self.root = root                      # DIR
        self.sd = os.path.join(root, name)    # DIR/NAME


class Launch:
    def __init__(self, argv, env, checks, logname):
        self.argv = argv          # daemon command, run in the foreground
        self.env = env            # KEY -> value, written to DIR/NAME/env once ready
        # [(kind, port)], all must pass: tcp (ours and accepting), owned-tcp (ours),
        # udp (ours), udp-ntp (answers an NTP request), dns (answers a query)
        self.checks = checks
        self.logname = logname       # the daemon's stdout and stderr, in DIR/NAME


def setup_nginx(c):
    v6 = ipv6_loopback()
    (port, tls), _ = pick_ports(c.root, c.sd, 2, v6=v6)
    ca = ensure_ca(c.root)
    docroot = os.path.join(c.sd, "root")
    for d in ("root/private", "root/slow", "tmp/body", "tmp/proxy", "tmp/fastcgi", "tmp/uwsgi", "tmp/scgi"):
        os.makedirs(os.path.join(c.sd, d), exist_ok=True)
    if not os.path.exists(os.path.join(docroot, "index.html")):
        write_file(os.path.join(docroot, "index.html"), INDEX_HTML)
        write_file(os.path.join(docroot, "private", "secret.txt"), SECRET_TXT)
    write_file(os.path.join(c.sd, "htpasswd"), "%s:%s\n" % (NGINX_USER, apr1(NGINX_PASSWORD)))
    user = ""
    if os.geteuid() == 0:
        # Workers drop to nobody; if nobody can't reach DIR, serving would fail with 403 everywhere.
        user = "user nobody nogroup;" if world_traversable(c.sd) else "user root root;"
        chown_tree(os.path.join(c.sd, "tmp"), "nobody", "nogroup")
    mime = "include /etc/nginx/mime.types;" if os.path.exists("/etc/nginx/mime.types") else \
        "types { text/html html htm; text/plain txt; application/json json; text/xml xml; image/png png; " \
        "image/jpeg jpg jpeg; image/gif gif; }"
    listen6 = "listen [::1]:%d;" % port if v6 else ""
    access = os.path.join(c.sd, "access.log")
    conf = f"""# generated by kvservers.py
{user}
worker_processes 1;
pid {c.sd}/nginx.pid;
error_log {c.sd}/error.log info;
events {{ worker_connections 512; }}
http {{
    {mime}
    default_type application/octet-stream;
    client_body_temp_path {c.sd}/tmp/body;
    proxy_temp_path {c.sd}/tmp/proxy;
    fastcgi_temp_path {c.sd}/tmp/fastcgi;
    uwsgi_temp_path {c.sd}/tmp/uwsgi;
    scgi_temp_path {c.sd}/tmp/scgi;
    log_format kv '$remote_addr $server_port "$request" $status $body_bytes_sent '
                  '"$http_range" "$remote_user" "$http_user_agent"';
    access_log {access} kv;
    log_format post '$request_method $uri "$http_x_kv_test" "$request_body"';
    server_tokens off;
    absolute_redirect off;
    keepalive_timeout 15;
    server {{
        listen 127.0.0.1:{port};
        {listen6}
        listen 127.0.0.1:{tls} ssl;
        server_name localhost;
        ssl_certificate {ca["server.pem"]};
        ssl_certificate_key {ca["server.key"]};
        root {docroot};
        location / {{ }}
        location /private/ {{
            auth_basic "Private";
            auth_basic_user_file {c.sd}/htpasswd;
        }}
        location /slow/ {{ limit_rate 200k; }}
        location = /redirect {{ return 302 /index.html; }}
        location = /redirect-abs {{ return 302 http://127.0.0.1:{port}/index.html; }}
        # A request with a body: handed to /post-sink so that nginx reads the body and can log it.
        location = /post {{
            access_log {c.sd}/post.log post;
            proxy_pass http://127.0.0.1:{port}/post-sink;
        }}
        location = /post-sink {{ access_log off; return 200 "posted\n"; }}
        location = /post-307 {{ return 307 /post; }}
        location = /post-308 {{ return 308 /post; }}
        location = /post-302 {{ return 302 /post; }}
    }}
}}
"""
    write_file(os.path.join(c.sd, "nginx.conf"), conf)
    chmod_readable(c.sd)
    env = {"KV_NGINX_PORT": port, "KV_NGINX_TLS_PORT": tls, "KV_NGINX_ROOT": docroot,
           "KV_NGINX_ACCESS_LOG": access, "KV_NGINX_POST_LOG": os.path.join(c.sd, "post.log"),
           "KV_NGINX_ERROR_LOG": os.path.join(c.sd, "error.log"),
           "KV_CA_FILE": ca["ca.pem"], "KV_NGINX_USER": NGINX_USER, "KV_NGINX_PASSWORD": NGINX_PASSWORD,
           "KV_NGINX_IPV6": 1 if v6 else 0}
    argv = ["nginx", "-c", os.path.join(c.sd, "nginx.conf"), "-p", c.sd + "/",
            "-e", os.path.join(c.sd, "error.log"), "-g", "daemon off;"]
    return Launch(argv, env, [("tcp", port), ("tcp", tls)], "error.log")


def setup_squid(c):
    if os.geteuid() == 0 and not world_traversable(c.sd):
        # squid and its password helper run as proxy and must reach their files.
        raise StartError("squid: %s is not reachable by other users; use a --dir below "
                         "world-searchable directories (chmod o+x on its parents)" % c.sd)
    (port,), _ = pick_ports(c.root, c.sd, 1)
    os.makedirs(os.path.join(c.sd, "cache"), exist_ok=True)
    write_file(os.path.join(c.sd, "passwd"), "%s:%s\n" % (SQUID_USER, apr1(SQUID_PASSWORD)))
    access = os.path.join(c.sd, "access.log")
    conf = f"""# generated by kvservers.py
http_port 127.0.0.1:{port}
visible_hostname localhost
pid_filename {c.sd}/squid.pid
cache_log {c.sd}/cache.log
access_log stdio:{access}
cache_store_log none
netdb_filename none
coredump_dir {c.sd}/cache
cache deny all
cache_mem 8 MB
pinger_enable off
icp_port 0
htcp_port 0
shutdown_lifetime 0 seconds
forwarded_for delete
auth_param basic program /usr/lib/squid/basic_ncsa_auth {c.sd}/passwd
auth_param basic children 2 startup=1 idle=1
auth_param basic realm KvInet test proxy
acl authed proxy_auth REQUIRED
acl from_lo src 127.0.0.0/8 ::1
acl to_lo dst 127.0.0.0/8 ::1
acl high_ports port 1024-65535
acl CONNECT method CONNECT
# Only loopback targets: CONNECT to any port, plain requests to high ports.
http_access deny !to_lo
http_access deny !CONNECT !high_ports
http_access allow from_lo authed
http_access deny all
"""
    write_file(os.path.join(c.sd, "squid.conf"), conf)
    chmod_readable(c.sd)
    chown_tree(c.sd, "proxy")
    env = {"KV_SQUID_PORT": port, "KV_SQUID_USER": SQUID_USER, "KV_SQUID_PASSWORD": SQUID_PASSWORD,
           "KV_SQUID_ACCESS_LOG": access}
    argv = ["squid", "-N", "-d1", "-f", os.path.join(c.sd, "squid.conf")]
    return Launch(argv, env, [("tcp", port)], "squid.out")


def _ftp_files(root):
    os.makedirs(os.path.join(root, "pub"), exist_ok=True)
    if not os.path.exists(os.path.join(root, "readme.txt")):
        write_file(os.path.join(root, "readme.txt"), README_TXT)
        write_file(os.path.join(root, "pub", "hello.txt"), HELLO_TXT)


def setup_ftp(c):
    (port,), pasv = pick_ports(c.root, c.sd, 1, block=16)
    root = os.path.join(c.sd, "root")
    _ftp_files(root)
    chmod_readable(c.sd)
    env = {"KV_FTP_PORT": port, "KV_FTP_ROOT": root, "KV_FTP_USER": FTP_USER, "KV_FTP_PASSWORD": FTP_PASSWORD}
    argv = [PYTHON, os.path.join(HERE, "ftpserver.py"), "--port", str(port), "--root", root,
            "--passive", "%d-%d" % (pasv[0], pasv[-1]), "--user", FTP_USER, "--password", FTP_PASSWORD]
    return Launch(argv, env, [("tcp", port)], "ftp.log")


def ensure_vsftpd_user():
    """The ordinary account, made once per machine and reused: a shell listed in /etc/shells (PAM's
    pam_shells), not in /etc/ftpusers (pam_listfile), the password set at every start."""
    try:
        pwd.getpwnam(VSFTPD_USER)
    except KeyError:
        if os.geteuid() != 0:
            raise StartError("vsftpd: no user '%s', and only root can create it" % VSFTPD_USER)
        # Another run may create it at the same moment: its existence afterwards is what counts.
        try:
            run_quiet(["useradd", "--system", "--no-create-home", "--home-dir", VSFTPD_USER_HOME,
                       "--shell", "/bin/sh", VSFTPD_USER])
        except StartError:
            pass
        try:
            pwd.getpwnam(VSFTPD_USER)
        except KeyError:
            raise StartError("vsftpd: could not create the user '%s'" % VSFTPD_USER)
    if os.geteuid() == 0:
        user = pwd.getpwnam(VSFTPD_USER)
        os.makedirs(user.pw_dir, exist_ok=True)
        subprocess.run(["chpasswd"], input=("%s:%s\n" % (VSFTPD_USER, VSFTPD_PASSWORD)).encode(), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def setup_vsftpd(c):
    try:
        pwd.getpwnam("ftp")  # anonymous sessions run as this user; it needs an existing home
    except KeyError:
        raise StartError("vsftpd: no system user 'ftp' (the vsftpd package creates it)")
    ensure_vsftpd_user()
    (port,), pasv = pick_ports(c.root, c.sd, 1, block=16)
    root = os.path.join(c.sd, "root")
    empty = os.path.join(c.sd, "empty")
    os.makedirs(empty, exist_ok=True)
    _ftp_files(root)
    # The ordinary account logs in to its own folder, below the server's root (no chroot).
    home = os.path.join(c.sd, "home")
    _ftp_files(home)
    chmod_readable(c.sd)
    if os.geteuid() == 0:
        chown_tree(home, VSFTPD_USER, pwd.getpwnam(VSFTPD_USER).pw_gid)
    # Anonymous sessions run as ftp and are chrooted to root: vsftpd refuses a root that user can write.
    for d in (root, empty):
        os.chmod(d, 0o755)
        if os.geteuid() == 0:
            shutil.chown(d, "root", "root")
    conf = f"""# generated by kvservers.py
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={port}
background=NO
anonymous_enable=YES
local_enable=YES
local_root={home}
chroot_local_user=NO
pam_service_name=vsftpd
write_enable=NO
anon_root={root}
no_anon_password=YES
ftp_username=ftp
nopriv_user=nobody
secure_chroot_dir={empty}
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port={pasv[0]}
pasv_max_port={pasv[-1]}
connect_from_port_20=NO
port_enable=YES
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
xferlog_enable=YES
vsftpd_log_file={c.sd}/vsftpd.log
log_ftp_protocol=YES
ftpd_banner=KvInet test FTP server (no MLSD).
"""
    cf = os.path.join(c.sd, "vsftpd.conf")
    write_file(cf, conf, 0o600)
    env = {"KV_VSFTPD_PORT": port, "KV_VSFTPD_ROOT": root, "KV_VSFTPD_USER": VSFTPD_USER,
           "KV_VSFTPD_PASSWORD": VSFTPD_PASSWORD, "KV_VSFTPD_HOME": home}
    return Launch(["vsftpd", cf], env, [("tcp", port)], "vsftpd.out")


def setup_smtp(c):
    (port, auth_port, notls_port, tls_port), _ = pick_ports(c.root, c.sd, 4)
    ca = ensure_ca(c.root)
    spool = os.path.join(c.sd, "spool")
    os.makedirs(spool, exist_ok=True)
    for f in os.listdir(spool):  # a fresh server starts with an empty spool
        os.unlink(os.path.join(spool, f))
    env = {"KV_SMTP_PORT": port, "KV_SMTP_AUTH_PORT": auth_port, "KV_SMTP_NOTLS_PORT": notls_port,
           "KV_SMTP_TLS_PORT": tls_port, "KV_SMTP_SPOOL": spool, "KV_SMTP_USER": SMTP_USER, "KV_SMTP_PASSWORD": SMTP_PASSWORD,
           "KV_CA_FILE": ca["ca.pem"]}
    argv = [PYTHON, os.path.join(HERE, "smtpserver.py"), "--port", str(port), "--auth-port", str(auth_port),
            "--notls-port", str(notls_port), "--tls-port", str(tls_port), "--spool", spool, "--cert", ca["server.pem"], "--key", ca["server.key"],
            "--user", SMTP_USER, "--password", SMTP_PASSWORD]
    return Launch(argv, env, [("tcp", port), ("tcp", auth_port), ("tcp", notls_port), ("tcp", tls_port)],
                  "smtp.log")


def setup_dns(c):
    (port,), _ = pick_ports(c.root, c.sd, 1)
    # One TXT record with many strings would need a longer config line than dnsmasq reads,
    # so big.test.example carries four TXT records of five 100-character strings (about 2 KB).
    big = []
    for r in range(4):
        strings = ['"%s"' % (chr(ord("a") + r * 5 + i) * 100) for i in range(5)]
        big.append("txt-record=big.test.example," + ",".join(strings))
    big_lines = "\n".join(big)
    conf = f"""# generated by kvservers.py
port={port}
listen-address=127.0.0.1
bind-interfaces
no-resolv
no-hosts
no-poll
cache-size=0
log-queries
log-facility=-
pid-file=
auth-server=ns.test.example,127.0.0.1
auth-zone=test.example,192.0.2.0/24,2001:db8::/32
auth-soa=2024010101,hostmaster.test.example,1200,180,1209600,600
host-record=www.test.example,192.0.2.10,2001:db8::10
cname=alias.test.example,www.test.example
mx-host=test.example,mail.test.example,10
host-record=mail.test.example,192.0.2.25
srv-host=_sip._tcp.test.example,sip.test.example,5060,10,20
txt-record=txt.test.example,"first string","second string"
{big_lines}
ptr-record=10.2.0.192.in-addr.arpa,www.test.example
"""
    write_file(os.path.join(c.sd, "dnsmasq.conf"), conf)
    chmod_readable(c.sd)
    env = {"KV_DNS_PORT": port}
    argv = ["dnsmasq", "-k", "-C", os.path.join(c.sd, "dnsmasq.conf")]
    return Launch(argv, env, [("tcp", port), ("udp", port), ("dns", port)], "dnsmasq.log")


def setup_ntp(c):
    (port,), _ = pick_ports(c.root, c.sd, 1)
    conf = f"""# generated by kvservers.py
port {port}
bindaddress 127.0.0.1
allow 127.0.0.1
local stratum 10
cmdport 0
bindcmdaddress /
pidfile {c.sd}/chronyd.pid
driftfile {c.sd}/drift
"""
    write_file(os.path.join(c.sd, "chrony.conf"), conf)
    env = {"KV_NTP_PORT": port}
    argv = ["chronyd", "-d", "-x", "-u", "root", "-f", os.path.join(c.sd, "chrony.conf")]
    return Launch(argv, env, [("udp", port), ("udp-ntp", port)], "chronyd.log")


def setup_daytime(c):
    (port,), _ = pick_ports(c.root, c.sd, 1)
    conf = f"""# generated by kvservers.py
defaults
{{
    instances = 50
}}
service daytime
{{
    type        = INTERNAL UNLISTED
    id          = daytime-stream
    socket_type = stream
    protocol    = tcp
    wait        = no
    user        = root
    port        = {port}
    bind        = 127.0.0.1
}}
"""
    write_file(os.path.join(c.sd, "xinetd.conf"), conf)
    env = {"KV_DAYTIME_PORT": port}
    argv = ["xinetd", "-dontfork", "-filelog", os.path.join(c.sd, "xinetd.log"),
            "-f", os.path.join(c.sd, "xinetd.conf"), "-pidfile", os.path.join(c.sd, "xinetd.pid")]
    return Launch(argv, env, [("tcp", port)], "xinetd.log")


def setup_scripted(c):
    (port, control), _ = pick_ports(c.root, c.sd, 2)
    for f in os.listdir(c.sd):  # recordings and the script of an earlier run
        p = os.path.join(c.sd, f)
        if f.startswith("session-"):
            shutil.rmtree(p)
        elif f.startswith(("received-", "conn-")) or f == "script.json":
            os.unlink(p)
    env = {"KV_SCRIPTED_PORT": port, "KV_SCRIPTED_CONTROL_PORT": control, "KV_SCRIPTED_DIR": c.sd}
    argv = [PYTHON, os.path.join(HERE, "scripted.py"), "--port", str(port), "--control-port", str(control),
            "--dir", c.sd]
    return Launch(argv, env, [("tcp", control), ("owned-tcp", port)], "scripted.log")


SERVERS = {
    "nginx": setup_nginx,
    "squid": setup_squid,
    "ftp": setup_ftp,
    "vsftpd": setup_vsftpd,
    "smtp": setup_smtp,
    "dns": setup_dns,
    "ntp": setup_ntp,
    "daytime": setup_daytime,
    "scripted": setup_scripted,
}


# --------------------------------------------------------------------------- start / stop

def env_text(env):
    return "".join("%s=%s\n" % (k, v) for k, v in env.items())


def running_env(sd):
    """The env text of a server that is up, else None."""
    rec = read_pidfile(sd)
    envf = os.path.join(sd, "env")
    if rec and alive(*rec) and os.path.exists(envf):
        with open(envf) as f:
            return f.read()
    return None


def wait_ready(proc, start, launch, logpath, offset, deadline):
    pending = list(launch.checks)
    while True:
        if proc.poll() is not None:
            tail = log_tail(logpath, offset)
            # Not every daemon says why it could not bind; a port now held by someone else tells.
            if any(m in tail for m in BUSY_MARKS) or \
                    not all(_bindable(port, False) for port in {p for _, p in launch.checks}):
                raise PortBusy()
            raise StartError("exited with status %s" % proc.returncode)
        tail = log_tail(logpath, offset, 200)
        if any(m in tail for m in BUSY_MARKS):
            raise PortBusy()
        still = []
        for kind, port in pending:
            if kind == "tcp":
                ok = owns(proc.pid, start, "tcp", port) and tcp_answers(port)
            elif kind == "owned-tcp":
                ok = owns(proc.pid, start, "tcp", port)
            elif kind == "udp":
                ok = owns(proc.pid, start, "udp", port)
            elif kind == "udp-ntp":
                ok = ntp_answers(port)
            elif kind == "dns":
                ok = dns_answers(port)
            else:
                raise AssertionError(kind)
            if not ok:
                still.append((kind, port))
        pending = still
        if not pending:
            return
        if time.monotonic() > deadline:
            raise StartError("not answering on %s after %.0f s" % (pending, START_TIMEOUT))
        time.sleep(0.05)


def start_one(root, name):
    """Start NAME unless it is already up; returns its env text."""
    c = Ctx(root, name)
    os.makedirs(c.sd, exist_ok=True)
    with FileLock(os.path.join(root, ".%s.lock" % name)):
        txt = running_env(c.sd)
        if txt is not None:
            return txt, False
        rec = read_pidfile(c.sd)
        if rec:
            kill_recorded(*rec)  # half-started leftovers of an earlier run
        for f in ("env", "pid"):
            try:
                os.unlink(os.path.join(c.sd, f))
            except FileNotFoundError:
                pass
        deadline = time.monotonic() + START_TIMEOUT
        last = ""
        for attempt in range(1, MAX_ATTEMPTS + 1):
            launch = SERVERS[name](c)
            proc, start, logpath, offset = spawn(launch.argv, c.sd, launch.logname)
            try:
                wait_ready(proc, start, launch, logpath, offset, deadline)
            except PortBusy:
                last = "lost a port race"
                log("%s: port taken, retrying with other ports (attempt %d)" % (name, attempt))
                kill_recorded(proc.pid, start)
                proc.poll()
                continue
            except StartError as e:
                kill_recorded(proc.pid, start)
                proc.poll()
                raise StartError("%s: %s\n--- %s (tail)\n%s" % (name, e, logpath, log_tail(logpath, offset)))
            txt = env_text(launch.env)
            write_file(os.path.join(c.sd, "env"), txt)
            return txt, True
        raise StartError("%s: %s %d times" % (name, last, MAX_ATTEMPTS))


def stop_one(root, name):
    sd = os.path.join(root, name)
    if not os.path.isdir(sd):
        return
    with FileLock(os.path.join(root, ".%s.lock" % name)):
        rec = read_pidfile(sd)
        if rec:
            kill_recorded(*rec)
        for f in ("env", "pid", "ports"):
            try:
                os.unlink(os.path.join(sd, f))
            except FileNotFoundError:
                pass


def expand(names):
    out = []
    for n in names:
        for m in (SERVERS if n == "all" else [n]):
            if m not in SERVERS:
                raise SystemExit("kvservers: unknown server %r (known: %s)" % (m, " ".join(SERVERS)))
            if m not in out:
                out.append(m)
    return out


def start_many(root, names):
    """Start in parallel; returns ({name: env text}, [names started now]) or raises with all errors."""
    results, errors, fresh = {}, [], []
    lock = threading.Lock()

    def work(n):
        try:
            txt, new = start_one(root, n)
            with lock:
                results[n] = txt
                if new:
                    fresh.append(n)
        except Exception as e:  # reported below, with the other servers' fate
            with lock:
                errors.append(str(e) if isinstance(e, StartError) else "%s: %r" % (n, e))

    threads = [threading.Thread(target=work, args=(n,)) for n in names]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        stop_many(root, fresh)
        raise StartError("\n".join(errors))
    return results, fresh


def stop_many(root, names):
    threads = [threading.Thread(target=stop_one, args=(root, n)) for n in names]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def prepare_root(path):
    root = os.path.abspath(path)
    os.makedirs(root, exist_ok=True)
    os.chmod(root, 0o755)
    return root


def main(argv):
    rest = []
    if "--" in argv:
        i = argv.index("--")
        argv, rest = argv[:i], argv[i + 1:]
    ap = argparse.ArgumentParser(description="Start and stop KvInet's local test servers.")
    ap.add_argument("action", choices=("start", "stop", "run", "env"))
    ap.add_argument("names", nargs="*", metavar="NAME", help="|".join(list(SERVERS) + ["all"]))
    ap.add_argument("--dir", required=True, help="directory holding one sub-directory per server")
    a = ap.parse_args(argv)
    root = prepare_root(a.dir)
    names = expand(a.names)
    if a.action in ("start", "stop", "run") and not names:
        ap.error("name at least one server")

    if a.action == "env":
        for n in sorted(os.listdir(root)):
            txt = running_env(os.path.join(root, n))
            if txt:
                sys.stdout.write(txt)
        return 0

    if a.action == "stop":
        stop_many(root, names)
        return 0

    t0 = time.monotonic()
    try:
        results, fresh = start_many(root, names)
    except StartError as e:
        log("could not start:\n%s" % e)
        return 1
    if a.action == "start":
        for n in names:
            sys.stdout.write(results[n])
        sys.stdout.flush()
        log("started %s in %.1f s" % (" ".join(names), time.monotonic() - t0))
        return 0

    # run
    if not rest:
        ap.error("run needs -- COMMAND")
    env = dict(os.environ)
    env["KVINET_SERVERS_DIR"] = root
    for n in names:
        for line in results[n].splitlines():
            k, _, v = line.partition("=")
            env[k] = v
    try:
        rc = subprocess.call(rest, env=env)
    except OSError as e:
        log("cannot run %s: %s" % (rest[0], e))
        rc = 127
    except KeyboardInterrupt:
        rc = 130
    finally:
        stop_many(root, fresh)
    return rc


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
