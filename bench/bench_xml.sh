#!/usr/bin/env bash
# XML parsing: KvInet's engine against pugixml and libxml2 on one generated ~100 MB RSS-like document
# (attributes, entities, nesting, some UTF-8), once our tree and pugixml's are seen to agree. Prints MB/s
# (best of RUNS loads, file read included) and the process's peak memory as a multiple of the file size, for
# each engine in its own process.
# Usage: bench_xml.sh [MEGABYTES] [RUNS]   (BIN: the build's bin directory)
set -euo pipefail
BIN=${BIN:-$(cd "$(dirname "$0")/.." && pwd)/build/bin}
megabytes=${1:-100}
runs=${2:-3}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
doc="$tmp/feed.xml"
"$BIN/bench_xml" generate "$doc" "$megabytes"
size=$(stat -c %s "$doc")
# The timings mean something only when the engine reads the document as the peer does: same elements in
# the same order, same names, same decoded texts.
"$BIN/bench_xml" digest - "$doc" >"$tmp/digest.txt" || { cat "$tmp/digest.txt"; echo "bench_xml: the trees differ" >&2; exit 1; }
echo "trees agree with pugixml: $(awk 'NR == 1 { print $3, $4 }' "$tmp/digest.txt")"
echo "document: $((size / 1000000)) MB ($size bytes), best of $runs loads"
printf '%-8s %10s %10s %12s %10s\n' engine MiB/s "x pugixml" "peak MiB" "x file"
declare -A speed
for engine in kvinet pugixml libxml2; do
    /usr/bin/time -v -o "$tmp/time.txt" "$BIN/bench_xml" parse "$engine" "$doc" "$runs" >"$tmp/out.txt"
    speed[$engine]=$(awk '{print $4}' "$tmp/out.txt")
    peak_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$tmp/time.txt")
    echo "$engine $peak_kb" >>"$tmp/peaks.txt"
done
while read -r engine peak_kb; do
    awk -v e="$engine" -v s="${speed[$engine]}" -v p="${speed[pugixml]}" -v k="$peak_kb" -v f="$size" \
        'BEGIN { printf "%-8s %10.1f %10.2f %12.1f %10.2f\n", e, s, s / p, k / 1024, k * 1024 / f }'
    if [ "$engine" = kvinet ] && [ -n "${BENCH_SUMMARY:-}" ]; then
        awk -v s="${speed[kvinet]}" -v p="${speed[pugixml]}" -v k="$peak_kb" -v f="$size" 'BEGIN {
            printf "xml: throughput vs pugixml\t%.3f\t>= 1.3\n", s / p
            printf "xml: peak memory / file size\t%.3f\t<= 2.5\n", k * 1024 / f }' >>"$BENCH_SUMMARY"
    fi
done <"$tmp/peaks.txt"
