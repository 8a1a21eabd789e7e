#!/usr/bin/env bash
# Fuzzing: builds every fuzz/fuzz_*.cpp target with clang (libFuzzer + ASan + UBSan) and runs each for
# SECONDS (default 60) on its corpus under fuzz/corpus/<target>/.
set -euo pipefail
seconds=${1:-60}
shopt -s nullglob
targets=("$ROOT"/fuzz/fuzz_*.cpp)
if [ ${#targets[@]} -eq 0 ]; then echo "no fuzz targets yet"; exit 0; fi
dir="$ROOT/build-fuzz"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$dir" -G Ninja -DKVINET_FUZZ=ON -DKVINET_TESTS=OFF -DKVINET_WERROR=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"
for t in "${targets[@]}"; do
    name=$(basename "$t" .cpp)
    mkdir -p "$ROOT/fuzz/corpus/$name"
    echo "== $name for ${seconds}s"
    "$dir/bin/$name" -max_total_time="$seconds" "$ROOT/fuzz/corpus/$name"
done
