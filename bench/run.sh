#!/usr/bin/env bash
# The benchmark in one command: builds the filters and the benchmark tools in
# Release, makes the inputs and prints each filter against what libcups alone gives.

#   bench/run.sh [--tiny] [--runs N] [--keep] [--markdown FILE] [--only TEXT]
# --tiny takes small inputs and two runs a case (CI runs it so it keeps working);
# --keep leaves the inputs in build/bench-release/work; --only picks cases by title.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench-release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DFILTERS_TESTS=OFF -DFILTERS_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target brovane calmeric dunsiple dither_bench urf_baseline workloads runner \
  >/dev/null
exec python3 bench/bench.py --build "$build" "$@"
