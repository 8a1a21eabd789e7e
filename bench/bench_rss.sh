#!/usr/bin/env bash
# RSS parser: kvinet rss on hostile feeds of 1 MB and 10 MB (unclosed start tags nesting ever deeper, items
# never closed, quoted '>' in attributes, comments and CDATA sections), read from a file. A parse in linear
# time takes about ten times as long for the larger feed; the ratio is printed per kind of feed. Each feed
# is first parsed once and its result checked (the title, and every item of the feed of items).
# Usage: bench_rss.sh [RUNS]   (BIN: the build's bin directory)
set -euo pipefail
BIN=${BIN:-$(cd "$(dirname "$0")/.." && pwd)/build/bin}
runs=${1:-3}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# generate KIND MEGABYTES FILE
generate() {
    /usr/bin/python3 - "$1" "$2" "$3" <<'PY'
import sys
kind, mb, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
units = {
    "nesting": b"<a x='>'><b>",
    "items": b"<item><title>t</title><description><![CDATA[<p>x</p>]]></description>",
    "mixed": b"<!-- c > ' --><channel><title>c</title>text &amp; more<item><x y=\"a>b\"/>",
}[kind]
head = b"<?xml version=\"1.0\"?><rss><channel><title>hostile</title>"
count = (mb * 1000000 - len(head)) // len(units)
open(path, "wb").write(head + units * count)
print(count)
PY
}

# The parse must succeed and read the feed: its channel's title, and for the feed of items every item.
# check KIND FILE UNITS
check() {
    "$BIN/kvinet" rss "$2" --max-size 0 >"$tmp/out.txt" || { echo "bench_rss: kvinet rss failed on $1" >&2; exit 1; }
    grep -q '^Title: hostile$' "$tmp/out.txt" || { echo "bench_rss: the $1 feed's title was not read" >&2; exit 1; }
    if [ "$1" = items ] && [ "$(grep -c '^item [0-9]*:$' "$tmp/out.txt")" != "$3" ]; then
        echo "bench_rss: the items feed did not give its $3 items" >&2
        exit 1
    fi
}

# best wall time in seconds of RUNS parses of FILE
best() {
    local file=$1 best=""
    for _ in $(seq "$runs"); do
        local start end t
        start=$(date +%s.%N)
        "$BIN/kvinet" rss "$file" --max-size 0 >/dev/null
        end=$(date +%s.%N)
        t=$(echo "$end - $start" | bc)
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc)" = 1 ]; then best=$t; fi
    done
    echo "$best"
}

# The tool's start alone, taken off both times so that the ratio compares the parses.
echo '<rss><channel><title>t</title></channel></rss>' >"$tmp/empty.xml"
base=$(best "$tmp/empty.xml")
echo "start-up: ${base}s (subtracted)"
printf '%-8s %10s %10s %8s\n' feed "1 MB s" "10 MB s" ratio
for kind in nesting items mixed; do
    check "$kind" "$tmp/small.xml" "$(generate "$kind" 1 "$tmp/small.xml")"
    check "$kind" "$tmp/large.xml" "$(generate "$kind" 10 "$tmp/large.xml")"
    small=$(best "$tmp/small.xml")
    large=$(best "$tmp/large.xml")
    awk -v k="$kind" -v s="$small" -v l="$large" -v b="$base" \
        'BEGIN { s -= b; l -= b; if (s < 0.001) s = 0.001; printf "%-8s %10.3f %10.3f %8.1f\n", k, s, l, l / s }'
done
