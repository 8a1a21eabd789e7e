#!/usr/bin/env bash
# Stored forms: kvinet form reading, printing back and freeing (a) a form of 4,096 objects (the reader's
# own limit) owned by one plain owner, (b) a form with one collection of 65,536 items (the limit of one
# collection), (c) a 16 MiB form of "Port = 1" lines (the size limit), also without its final "end", so
# refused at the last line. Best wall time and the peak memory of that run (GNU time); each result is
# checked (objects, items and the port printed back, the refusal's line).
# Usage: bench_form.sh [RUNS]   (BIN: the build's bin directory)
set -euo pipefail
BIN=${BIN:-$(cd "$(dirname "$0")/.." && pwd)/build/bin}
runs=${1:-3}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

/usr/bin/python3 - "$tmp" <<'PY'
import sys
tmp = sys.argv[1]
classes = ["TKvWhoIs", "TKvWebUpdater", "TKvIHTTPClient", "TImage"]
with open(tmp + "/objects.kvf", "w") as f:
    f.write("object App: TComponent\n")
    for i in range(1, 4096):
        f.write("  object C%d: %s\n  end\n" % (i, classes[i % len(classes)]))
    f.write("end\n")
# Items of about 250 bytes, so that the form is near the size limit and its peak memory says what the
# items cost, not what the program costs before it reads anything.
with open(tmp + "/items.kvf", "w") as f:
    f.write("object Mail1: TKvISMTP\n  Recipients = <")
    for i in range(65536):
        f.write("\n    item\n      Address = 'r%d@example.com'\n      Name = '%s'\n    end" % (i, "n" * 180))
    f.write(">\nend\n")
head, line, tail = "object W1: TKvWhoIs\n", "  Port = 1\n", "end\n"
count = (16 * 1024 * 1024 - len(head) - len(tail)) // len(line)
body = head + line * count
open(tmp + "/ports.kvf", "w").write(body + tail)
line = "  Requests = [irA, irMX, irNS]\n"
count_sets = (16 * 1024 * 1024 - len(head) - len(tail)) // len(line)
open(tmp + "/sets.kvf", "w").write("object D1: TKvIDNSResolver\n" + line * count_sets + tail)
open(tmp + "/ports-noend.kvf", "w").write(body)
open(tmp + "/ports.lines", "w").write(str(count + 2))  # the line after the last Port line
PY

# run FILE EXPECTED_STATUS: best "seconds peak_kib" of RUNS runs of kvinet form FILE
run() {
    local best="" best_mem=""
    for _ in $(seq "$runs"); do
        local status=0
        /usr/bin/time -f '%e %M' -o "$tmp/time" "$BIN/kvinet" form "$1" >"$tmp/out" 2>"$tmp/err" || status=$?
        if [ "$status" != "$2" ]; then
            echo "bench_form: kvinet form $(basename "$1") exited $status, not $2: $(head -c 300 "$tmp/err")" >&2
            exit 1
        fi
        read -r t m < <(tail -1 "$tmp/time") # GNU time puts a line before it for a failed command
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc)" = 1 ]; then best=$t best_mem=$m; fi
    done
    echo "$best $best_mem"
}
summary() { if [ -n "${BENCH_SUMMARY:-}" ]; then printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$BENCH_SUMMARY"; fi; }

printf '%-28s %9s %7s %9s %10s\n' form "size MiB" "wall s" "peak MiB" "peak/size"
# report NAME FILE SECONDS PEAK_KIB: one table line; sets PEAK (MiB) and RATIO (peak memory / file size)
report() {
    local bytes
    bytes=$(stat -c %s "$2")
    PEAK=$(echo "scale=1; $4 / 1024" | bc)
    RATIO=$(echo "scale=2; $4 * 1024 / $bytes" | bc)
    printf '%-28s %9s %7s %9s %10s\n' "$1" "$(echo "scale=2; $bytes / 1048576" | bc)" "$3" "$PEAK" "$RATIO"
}
summary() { if [ -n "${BENCH_SUMMARY:-}" ]; then printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$BENCH_SUMMARY"; fi; }

read -r t m < <(run "$tmp/objects.kvf" 0)
[ "$(grep -c '^ *object ' "$tmp/out")" = 4096 ] || { echo "bench_form: the 4,096 objects were not printed back" >&2; exit 1; }
report "4,096 objects" "$tmp/objects.kvf" "$t" "$m"
summary "form: 4,096 objects, s" "$t" "<= 1.0"
summary "form: 4,096 objects, peak MiB" "$PEAK" "<= 100"

read -r t m < <(run "$tmp/items.kvf" 0)
[ "$(grep -c '^ *item$' "$tmp/out")" = 65536 ] || { echo "bench_form: the 65,536 items were not printed back" >&2; exit 1; }
report "65,536 collection items" "$tmp/items.kvf" "$t" "$m"
summary "form: 65,536 items, s" "$t" "<= 1.0"
summary "form: 65,536 items, peak/size" "$RATIO" "<= 10"

read -r t m < <(run "$tmp/ports.kvf" 0)
grep -qx '  Port = 1' "$tmp/out" || { echo "bench_form: the port was not printed back" >&2; exit 1; }
report "16 MiB of Port = 1" "$tmp/ports.kvf" "$t" "$m"
summary "form: 16 MiB of Port = 1, peak/size" "$RATIO" "<= 10"

read -r t m < <(run "$tmp/sets.kvf" 0)
grep -qx '  Requests = \[irA, irNS, irMX\]' "$tmp/out" || { echo "bench_form: the set was not printed back" >&2; exit 1; }
report "16 MiB of sets" "$tmp/sets.kvf" "$t" "$m"
summary "form: 16 MiB of sets, peak/size" "$RATIO" "<= 10"

read -r t m < <(run "$tmp/ports-noend.kvf" 1)
grep -q "^kvinet form: Line $(cat "$tmp/ports.lines"): end expected" "$tmp/err" ||
    { echo "bench_form: the form without end was not refused at its last line: $(head -c 300 "$tmp/err")" >&2; exit 1; }
report "16 MiB of Port = 1, no end" "$tmp/ports-noend.kvf" "$t" "$m"
summary "form: 16 MiB without end, peak/size" "$RATIO" "<= 10"
