#!/usr/bin/env bash
# kvinet news on the largest news file it reads (one section of 9,999 items: 10,000 nodes) and on one of
# 1,000 items, from a local path, with a previous copy beside the news file (so that every item is also
# looked up in it). A tree built in linear time takes about ten times as long for the larger file; the tool's
# start-up (an empty news file) is taken off both times. Each file's printed tree is checked first.
# Usage: bench_news.sh [RUNS]   (BIN: the build's bin directory)
set -euo pipefail
BIN=${BIN:-$(cd "$(dirname "$0")/.." && pwd)/build/bin}
runs=${1:-5}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

summary() { if [ -n "${BENCH_SUMMARY:-}" ]; then printf '%s\t%s\t%s\n' "$1" "$2" "$3" >> "$BENCH_SUMMARY"; fi; }

# generate ITEMS FILE
generate() {
    awk -v n="$1" 'BEGIN { print "[News]"; for (i = 0; i < n; i++) printf "https://example.org/news/%d=News item number %d\n", i, i }' >"$2"
}

# The first run copies the file and prints every item new; the second compares with the previous copy.
# check ITEMS FILE
check() {
    rm -f "$tmp"/local.*
    "$BIN/kvinet" news "$2" --local "$tmp/local.sin" >"$tmp/out.txt"
    "$BIN/kvinet" news "$2" --local "$tmp/local.sin" >"$tmp/out.txt"
    [ "$(wc -l <"$tmp/out.txt")" = $(( $1 + 1 )) ] && ! grep -q '^  \* ' "$tmp/out.txt" ||
        { echo "bench_news: the tree of $1 items was not printed whole" >&2; exit 1; }
}

# best wall time in seconds of RUNS prints of FILE (its news and previous copy in place)
best() {
    local best=""
    for _ in $(seq "$runs"); do
        local start end t
        start=$(date +%s.%N)
        "$BIN/kvinet" news "$1" --local "$tmp/local.sin" >/dev/null
        end=$(date +%s.%N)
        t=$(echo "$end - $start" | bc)
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc)" = 1 ]; then best=$t; fi
    done
    echo "$best"
}

: >"$tmp/empty.sin"
rm -f "$tmp"/local.*
base=$(best "$tmp/empty.sin")
generate 1000 "$tmp/small.sin"
generate 9999 "$tmp/large.sin"
check 1000 "$tmp/small.sin"
small=$(best "$tmp/small.sin")
check 9999 "$tmp/large.sin"
large=$(best "$tmp/large.sin")
echo "start-up: ${base}s (subtracted)"
awk -v s="$small" -v l="$large" -v b="$base" 'BEGIN {
    s -= b; l -= b; if (s < 0.005) s = 0.005; if (l < 0.005) l = 0.005
    printf "%-22s %10s %10s %8s\n", "news file", "1,000 s", "9,999 s", "ratio"
    printf "%-22s %10.3f %10.3f %8.1f\n", "one section, printed", s, l, l / s
}'
summary "news: 9,999 / 1,000 items time" "$(awk -v s="$small" -v l="$large" -v b="$base" 'BEGIN { s -= b; l -= b; if (s < 0.005) s = 0.005; if (l < 0.005) l = 0.005; print l / s }')" "<= 20"
