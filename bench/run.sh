#!/usr/bin/env bash
# The benchmark in one command: builds the filters and the benchmark tools in
# Release, makes the inputs and prints each filter against what libcups alone gives.

#   bench/run.sh [--tiny] [--runs N] [--keep] [--markdown FILE] [--only TEXT] [--hardening]
# --tiny takes small inputs and two runs a case (CI runs it so it keeps working);
# --keep leaves the inputs in build/bench-release/work; --only picks cases by title;
# --hardening also times the filters built without hardening (build/bench-unhardened).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench-release
args=()
for arg in "$@"; do
  if [ "$arg" = --hardening ]; then
    cmake -S . -B build/bench-unhardened -DCMAKE_BUILD_TYPE=Release -DFILTERS_TESTS=OFF -DFILTERS_BENCH=OFF \
      -DFILTERS_HARDENING=OFF >/dev/null
    cmake --build build/bench-unhardened -j"$(nproc)" --target brovane calmeric dunsiple >/dev/null
    args+=(--unhardened build/bench-unhardened)
  else
    args+=("$arg")
  fi
done
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DFILTERS_TESTS=OFF -DFILTERS_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target brovane calmeric dunsiple dither_bench urf_baseline workloads runner \
  >/dev/null
exec python3 bench/bench.py --build "$build" "${args[@]}"
