#!/usr/bin/env bash
# Info extractor: peak memory of kvinet extract on a 160 MB page of bare "http://" prefixes (20 million texts
# of 7 characters each), read from a file with --max-size 200 MB. The texts are counted at what they take in
# memory, so the run stops at the limit (exit 1, the texts that fit printed) with its memory bounded: the aim
# is at most 4 times --max-size plus 50 MB. grep -o, run on the same page, is shown beside it for scale. The
# run's result is checked: the message and the number of texts printed.
# Usage: bench_extract.sh   (BIN: the build's bin directory)
set -euo pipefail
BIN=${BIN:-$(cd "$(dirname "$0")/.." && pwd)/build/bin}
TIME=/usr/bin/time
[ -x "$TIME" ] || { echo "bench_extract: needs /usr/bin/time (package time)" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

page_mb=160
limit=200000000
/usr/bin/python3 - "$tmp/page.html" "$page_mb" <<'PY'
import sys
path, mb = sys.argv[1], int(sys.argv[2])
with open(path, "wb") as f:
    block = b"http:// " * (1 << 17)
    for _ in range(mb * 1000000 // len(block)):
        f.write(block)
    f.write(b"http:// " * ((mb * 1000000 % len(block)) // 8))
PY

# peak KiB of a command, its stdout in $tmp/out.txt and its stderr in $tmp/err.txt
peak() {
    "$TIME" -f %M -o "$tmp/time.txt" "$@" >"$tmp/out.txt" 2>"$tmp/err.txt" || true
    tail -n 1 "$tmp/time.txt"
}

kv=$(peak "$BIN/kvinet" extract "$tmp/page.html" --kind http --max-size "$limit")
grep -q 'take more than 200000000 bytes of memory' "$tmp/err.txt" ||
    { echo "bench_extract: kvinet extract did not stop at the limit:" >&2; cat "$tmp/err.txt" >&2; exit 1; }
texts=$(wc -l <"$tmp/out.txt")
# Each text of 7 characters is counted at 2 * 7 + 80 bytes.
expected=$((limit / 94))
[ "$texts" -eq "$expected" ] ||
    { echo "bench_extract: $texts texts printed, $expected expected" >&2; exit 1; }
grep_kib=$(peak grep -o 'http://[^ ]*' "$tmp/page.html")

printf '%-28s %12s\n' tool "peak MiB"
awk -v k="$kv" -v g="$grep_kib" 'BEGIN {
    printf "%-28s %12.1f\n", "kvinet extract", k / 1024
    printf "%-28s %12.1f\n", "grep -o", g / 1024 }'
echo "page ${page_mb} MB, --max-size ${limit}: ${texts} texts printed"
if [ -n "${BENCH_SUMMARY:-}" ]; then
    awk -v k="$kv" -v l="$limit" 'BEGIN {
        printf "extract: peak / (4 x max-size + 50 MB)\t%.3f\t<= 1.0\n", k * 1024 / (4 * l + 50000000) }' \
        >>"$BENCH_SUMMARY"
fi
