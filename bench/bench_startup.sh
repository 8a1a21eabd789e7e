#!/usr/bin/env bash
# What a program pays for using the library before it does any work, and kvinet http on a small reply
# against curl, whole process. Figures:
#  - shared libraries loaded (the dynamic loader's own count of the objects it initialises, LD_DEBUG=libs)
#    and peak memory (/usr/bin/time) of a console program that only uses the text utilities, and of
#    kvinet http on a 1 KB reply;
#  - kvinet http against curl -s -o /dev/null on that reply: median wall time of interleaved runs.
# Uses a running nginx when KV_NGINX_PORT and KV_NGINX_ROOT are set; otherwise starts one from tests/servers.
#   BIN=build/bin ROOT=. bash bench/bench_startup.sh [RUNS]
set -euo pipefail
ROOT="${ROOT:-$(cd "$(dirname "$0")/.." && pwd)}"
BIN="${BIN:-$ROOT/build/bin}"
RUNS="${1:-31}"
TIME=/usr/bin/time
[ -x "$TIME" ] || { echo "bench_startup: needs /usr/bin/time (package time)" >&2; exit 1; }
command -v curl >/dev/null || { echo "bench_startup: needs curl" >&2; exit 1; }

. "$ROOT/bench/nginx.sh"
work="$(mktemp -d)"
chmod a+rx "$work"
cleanup() {
    rm -f "${KV_NGINX_ROOT:-/nonexistent}/startup-$$.txt"
    bench_nginx_stop
    rm -rf "$work"
}
trap cleanup EXIT
bench_nginx "$work"
file="startup-$$.txt"
head -c 1000 /dev/zero | tr '\0' 'k' > "$KV_NGINX_ROOT/$file"
chmod a+r "$KV_NGINX_ROOT/$file"
url="http://127.0.0.1:$KV_NGINX_PORT/$file"
# The text mode prints the body as lines: the reply, then its line end.
[ "$("$BIN/kvinet" http "$url" | tr -d '\r\n')" = "$(cat "$KV_NGINX_ROOT/$file")" ] ||
    { echo "bench_startup: kvinet http did not print the reply" >&2; exit 1; }

summary() { if [ -n "${BENCH_SUMMARY:-}" ]; then printf '%s\t%s\t%s\n' "$1" "$2" "$3" >> "$BENCH_SUMMARY"; fi; }
libraries() { LD_DEBUG=libs "$@" 2>&1 >/dev/null | grep -c 'calling init:' || true; }
peak_mib() { "$TIME" -f %M -o "$work/t" "$@" >/dev/null 2>&1; awk '{ printf "%.1f", $1 / 1024 }' "$work/t"; }

console=("$BIN/example_text_utilities")
http=("$BIN/kvinet" http "$url")
printf '%-34s %10s %10s\n' program libraries "peak MiB"
printf '%-34s %10s %10s\n' "console program (text utilities)" "$(libraries "${console[@]}")" "$(peak_mib "${console[@]}")"
printf '%-34s %10s %10s\n' "kvinet http, 1 KB reply" "$(libraries "${http[@]}")" "$(peak_mib "${http[@]}")"
printf '%-34s %10s %10s\n' "curl, 1 KB reply" "$(libraries curl -s -o /dev/null "$url")" "$(peak_mib curl -s -o /dev/null "$url")"
summary "startup: console program, libraries" "$(libraries "${console[@]}")" "<= 50"
summary "startup: kvinet http, peak MiB" "$(peak_mib "${http[@]}")" "<= 20"

# Interleaved, so that a drift of the machine's speed touches both alike.
/usr/bin/python3 - "$RUNS" "$url" "${http[@]}" <<'PY'
import os, statistics, subprocess, sys, time
runs, url, kvinet = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
curl = ["curl", "-s", "-o", "/dev/null", url]
def wall(cmd):
    start = time.perf_counter()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start
for _ in range(3):
    wall(kvinet), wall(curl)
kv, cu = [], []
for _ in range(runs):
    kv.append(wall(kvinet))
    cu.append(wall(curl))
k, c = statistics.median(kv), statistics.median(cu)
print("kvinet http %.1f ms, curl %.1f ms: medians of %d interleaved runs, ratio %.2f" % (k * 1e3, c * 1e3, runs, k / c))
summary = os.environ.get("BENCH_SUMMARY")
if summary:
    with open(summary, "a") as f:
        f.write("startup: kvinet http small reply vs curl\t%.3f\t<= 1.3\n" % (k / c))
PY
