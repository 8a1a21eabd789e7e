#!/usr/bin/env bash
# Benchmarks: each bench/*.sh script compares KvInet with the tool a user would pick instead, in one run.
set -euo pipefail
shopt -s nullglob
scripts=("$ROOT"/bench/bench_*.sh)
if [ ${#scripts[@]} -eq 0 ]; then echo "no benchmarks yet"; exit 0; fi
for s in "${scripts[@]}"; do echo "== $(basename "$s")"; BIN="$BIN" ROOT="$ROOT" bash "$s" "$@"; done
