#!/usr/bin/env bash
# Benchmarks: each bench/*.sh script compares KvInet with the tool a user would pick instead, in one run.
set -euo pipefail
shopt -s nullglob
scripts=("$ROOT"/bench/bench_*.sh)
if [ ${#scripts[@]} -eq 0 ]; then echo "no benchmarks yet"; exit 0; fi
# Each benchmark adds its figures to one summary ("figure<TAB>value<TAB>aim"), printed at the end.
BENCH_SUMMARY=$(mktemp)
export BENCH_SUMMARY
trap 'rm -f "$BENCH_SUMMARY"' EXIT
for s in "${scripts[@]}"; do echo "== $(basename "$s")"; BIN="$BIN" ROOT="$ROOT" bash "$s" "$@"; done
echo
echo "== summary (ratios to the peer named; each benchmark checked its own result)"
awk -F'\t' '
    BEGIN { printf "%-48s %10s %10s  %s\n", "figure", "value", "aim", "met" }
    {
        split($3, aim, " ")
        met = (aim[1] == ">=") ? ($2 >= aim[2]) : ($2 <= aim[2])
        printf "%-48s %10.2f %10s  %s\n", $1, $2, $3, met ? "yes" : "no"
    }' "$BENCH_SUMMARY"
