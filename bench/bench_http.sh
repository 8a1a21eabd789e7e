#!/usr/bin/env bash
# kvinet http against curl: GET of a 500 MB file (large enough for whole-process timings) from nginx on
# loopback, both in the same run, interleaved.
# Reports median wall time, throughput and peak memory of each, and the ratios. Uses a running nginx when
# KV_NGINX_PORT and KV_NGINX_ROOT are set; otherwise starts one from tests/servers for the run.
#   BIN=build/bin ROOT=. bash bench/bench_http.sh [ROUNDS] [MEGABYTES]
set -euo pipefail
ROOT="${ROOT:-$(cd "$(dirname "$0")/.." && pwd)}"
BIN="${BIN:-$ROOT/build/bin}"
ROUNDS="${1:-5}"
MB="${2:-500}"
TIME=/usr/bin/time
[ -x "$TIME" ] || { echo "bench_http: needs /usr/bin/time (package time)" >&2; exit 1; }
command -v curl >/dev/null || { echo "bench_http: needs curl" >&2; exit 1; }

. "$ROOT/bench/nginx.sh"
work="$(mktemp -d)"
chmod a+rx "$work"
cleanup() {
    rm -f "${KV_NGINX_ROOT:-/nonexistent}/bench-$$.bin"
    bench_nginx_stop
    rm -rf "$work"
}
trap cleanup EXIT
bench_nginx "$work"
file="bench-$$.bin"
head -c $((MB * 1000000)) /dev/urandom > "$KV_NGINX_ROOT/$file"
chmod a+r "$KV_NGINX_ROOT/$file"
url="http://127.0.0.1:$KV_NGINX_PORT/$file"

summary() { if [ -n "${BENCH_SUMMARY:-}" ]; then printf '%s\t%s\t%s\n' "$1" "$2" "$3" >> "$BENCH_SUMMARY"; fi; }
# The text mode keeps the reply in memory: past the default limit it needs the limit lifted.
limit=()
[ $((MB * 1000000)) -gt $((256 << 20)) ] && limit=(--max-size 0)
# Each measurement: "seconds maxrss_kb cpu_seconds".
measure() { "$TIME" -f "%e %M %U %S" -o "$work/t" "$@" > /dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }; awk '{ print $1, $2, $3 + $4 }' "$work/t"; }
# The reply must arrive whole, in both modes, before timings mean anything.
"$BIN/kvinet" http "$url" --output "$work/check.bin"
cmp -s "$work/check.bin" "$KV_NGINX_ROOT/$file" || { echo "bench_http: streamed body differs" >&2; exit 1; }
"$BIN/kvinet" http "$url" --keep-headers "${limit[@]}" | tail -c $((MB * 1000000)) | cmp -s - "$KV_NGINX_ROOT/$file" ||
    { echo "bench_http: text-mode body differs" >&2; exit 1; }
rm -f "$work/check.bin"

: > "$work/kv"; : > "$work/curl"; : > "$work/stream"
for _ in $(seq "$ROUNDS"); do
    measure "$BIN/kvinet" http "$url" "${limit[@]}" >> "$work/kv"
    measure curl -s -o /dev/null "$url" >> "$work/curl"
    measure "$BIN/kvinet" http "$url" --output /dev/null >> "$work/stream"
done
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
kv_t=$(cut -d' ' -f1 "$work/kv" | median); kv_m=$(cut -d' ' -f2 "$work/kv" | median)
curl_t=$(cut -d' ' -f1 "$work/curl" | median); curl_m=$(cut -d' ' -f2 "$work/curl" | median)
kv_c=$(cut -d' ' -f3 "$work/kv" | median); curl_c=$(cut -d' ' -f3 "$work/curl" | median)
st_t=$(cut -d' ' -f1 "$work/stream" | median); st_m=$(cut -d' ' -f2 "$work/stream" | median)
st_c=$(cut -d' ' -f3 "$work/stream" | median)
awk -v mb="$MB" -v r="$ROUNDS" -v kt="$kv_t" -v km="$kv_m" -v ct="$curl_t" -v cm="$curl_m" -v kc="$kv_c" -v cc="$curl_c" 'BEGIN {
    printf "GET of %d MB over loopback, %d rounds interleaved, medians\n", mb, r
    printf "  kvinet http   %6.2f s  %7.1f MB/s  cpu %5.2f s  peak %7.1f MB\n", kt, mb / (kt > 0 ? kt : 0.01), kc, km / 1024
    printf "  curl          %6.2f s  %7.1f MB/s  cpu %5.2f s  peak %7.1f MB\n", ct, mb / (ct > 0 ? ct : 0.01), cc, cm / 1024
    printf "  throughput kvinet/curl: %.2f   kvinet peak memory / reply size: %.2f\n",
        (ct > 0 ? ct : 0.01) / (kt > 0 ? kt : 0.01), (km * 1024) / (mb * 1000000)
}'
awk -v mb="$MB" -v st="$st_t" -v sm="$st_m" -v sc="$st_c" -v ct="$curl_t" 'BEGIN {
    printf "  kvinet --output %6.2f s  %7.1f MB/s  cpu %5.2f s  peak %7.1f MB  (streamed: throughput vs curl %.2f)\n",
        st, mb / (st > 0 ? st : 0.01), sc, sm / 1024, (ct > 0 ? ct : 0.01) / (st > 0 ? st : 0.01)
}'
summary "http text: throughput vs curl" "$(awk -v a="$curl_t" -v b="$kv_t" 'BEGIN { print a / (b > 0 ? b : 0.01) }')" ">= 0.5"
summary "http text: peak memory / reply size" "$(awk -v m="$kv_m" -v mb="$MB" 'BEGIN { print m * 1024 / (mb * 1000000) }')" "<= 2.5"
summary "http streamed: throughput vs curl" "$(awk -v a="$curl_t" -v b="$st_t" 'BEGIN { print a / (b > 0 ? b : 0.01) }')" ">= 0.9"
summary "http streamed: peak MiB" "$(awk -v m="$st_m" 'BEGIN { print m / 1024 }')" "<= 32"
