#!/usr/bin/env bash
# The web updater (kvinet update) against curl, fetching one big file from nginx on loopback, interleaved
# in the same run: (a) into a discard (/dev/null), (b) into a new local file (the old one removed and the
# disks synced before each timed run). Medians of wall time, CPU time and peak memory; every written copy's
# checksum is verified.
#   BIN=build/bin ROOT=. bench/bench_update.sh [SIZE_MIB] [RUNS]
set -euo pipefail
BIN=${BIN:-$ROOT/build/bin}
SIZE_MIB=${1:-1024}
RUNS=${2:-5}
work=$(mktemp -d /tmp/kvbench.XXXXXX)
chmod 755 "$work"
. "$ROOT/bench/nginx.sh"
cleanup() {
    rm -f "${KV_NGINX_ROOT:-/nonexistent}/big.bin"
    bench_nginx_stop
    rm -rf "$work"
}
trap cleanup EXIT
bench_nginx "$work"
head -c "$((SIZE_MIB << 20))" /dev/urandom >"$KV_NGINX_ROOT/big.bin"
chmod 644 "$KV_NGINX_ROOT/big.bin"
expected=$(sha256sum <"$KV_NGINX_ROOT/big.bin" | cut -d' ' -f1)
url="http://127.0.0.1:$KV_NGINX_PORT/big.bin"

KVINET="$BIN/kvinet" URL="$url" EXPECTED="$expected" OUT="$work/out.bin" RUNS="$RUNS" SIZE_MIB="$SIZE_MIB" \
    /usr/bin/python3 - <<'EOF'
import hashlib, os, statistics, subprocess, time

kvinet, url, expected, out = os.environ["KVINET"], os.environ["URL"], os.environ["EXPECTED"], os.environ["OUT"]
runs, size_mib = int(os.environ["RUNS"]), int(os.environ["SIZE_MIB"])

def timed(argv):
    """Wall seconds, CPU seconds (user + system) and peak memory (MiB) of one command."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    stdout, stderr = proc.stdout.read(), proc.stderr.read()
    if proc.returncode != 0:
        raise SystemExit("%s failed (%d): %s %s" % (argv[0], proc.returncode, stdout, stderr))
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0

def checksum(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            h.update(block)
    return h.hexdigest()

def fresh():
    if os.path.exists(out):
        os.remove(out)
    os.sync()

commands = {
    "discard": {"kvinet": [kvinet, "update", url, "/dev/null", "--force"],
                "curl": ["curl", "-s", "-o", "/dev/null", url]},
    "file": {"kvinet": [kvinet, "update", url, out], "curl": ["curl", "-s", "-o", out, url]},
}
results = {(m, t): [] for m in commands for t in ("kvinet", "curl")}
for run in range(runs):
    for mode, tools in commands.items():
        order = ["kvinet", "curl"] if run % 2 == 0 else ["curl", "kvinet"]
        for tool in order:
            if mode == "file":
                fresh()
            results[(mode, tool)].append(timed(tools[tool]))
            if mode == "file" and checksum(out) != expected:
                raise SystemExit("%s wrote a copy with the wrong checksum" % tool)

print("%d MiB from nginx on loopback, %d interleaved runs, medians" % (size_mib, runs))
print("%-8s %-7s %9s %9s %9s" % ("mode", "tool", "wall s", "cpu s", "peak MiB"))
for mode in commands:
    med = {}
    for tool in ("kvinet", "curl"):
        rows = results[(mode, tool)]
        med[tool] = [statistics.median(r[i] for r in rows) for i in range(3)]
        print("%-8s %-7s %9.3f %9.3f %9.1f" % (mode, tool, *med[tool]))
    print("%-8s ratio   %9.2f %9.2f" % (mode, med["kvinet"][0] / med["curl"][0], med["kvinet"][1] / med["curl"][1]))
    summary = os.environ.get("BENCH_SUMMARY")
    if summary:
        with open(summary, "a") as f:
            f.write("update %s: wall vs curl\t%.3f\t<= 1.0\n" % (mode, med["kvinet"][0] / med["curl"][0]))
            if mode == "discard":
                f.write("update %s: cpu vs curl\t%.3f\t<= 1.1\n" % (mode, med["kvinet"][1] / med["curl"][1]))
EOF
