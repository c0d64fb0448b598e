#!/usr/bin/env bash
# The benchmark in one command: builds the filters and the benchmark tools in
# Release, makes the inputs and prints each filter against what libcups alone gives.

#   bench/run.sh [--tiny] [--runs N] [--keep] [--markdown FILE] [--only TEXT] [--blocks] [--hardening]
#                [--before BUILD [--instructions]]
#   bench/run.sh --endtoend [--runs N] [--before BUILD]
# --tiny takes small inputs and two runs a case (CI runs it so it keeps working);
# --keep leaves the inputs in build/bench-release/work; --only picks cases by title;
# --blocks times only the floors against their block size (the table that chose it);
# --hardening also times the filters built without hardening (build/bench-unhardened);
# --before also times the filters of another build folder (say, of the previous tree)
# and prints before against after; --instructions adds callgrind's counts to that table.
# --endtoend times a phone photo job through a private scheduler and hpcups instead
# (bench/endtoend.py; it downloads hpcups and needs libhpmud0 installed).
set -euo pipefail
# Paths given on the command line are taken from where the script was started.
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --before | --markdown)
      [ $# -ge 2 ] || { echo "bench/run.sh: $1 needs a path" >&2; exit 2; }
      args+=("$1" "$(realpath -m -- "$2")")
      shift 2
      ;;
    --before=* | --markdown=*)
      args+=("${1%%=*}" "$(realpath -m -- "${1#*=}")")
      shift
      ;;
    *)
      args+=("$1")
      shift
      ;;
  esac
done
cd "$(dirname "$0")/.."
build=build/bench-release
endtoend=()
for arg in ${args[@]+"${args[@]}"}; do
  if [ "$arg" = --endtoend ]; then
    endtoend=(--after "$build/brovane/brovane")
  fi
done
if [ ${#endtoend[@]} -gt 0 ]; then
  set -- ${args[@]+"${args[@]}"}
  while [ $# -gt 0 ]; do
    case "$1" in
      --endtoend) ;;
      --runs) endtoend+=(--runs "$2"); shift ;;
      --before) endtoend+=(--before "$2/brovane/brovane"); shift ;;
      *) echo "bench/run.sh: --endtoend takes only --runs and --before" >&2; exit 2 ;;
    esac
    shift
  done
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DFILTERS_TESTS=OFF -DFILTERS_BENCH=ON >/dev/null
  cmake --build "$build" -j"$(nproc)" >/dev/null
  rm -rf "$build/prefix"
  cmake --install "$build" --prefix "$build/prefix" >/dev/null
  exec python3 bench/endtoend.py --prefix "$build/prefix" --jobstate "$build/tools/jobstate" \
    --workloads "$build/bench/workloads" "${endtoend[@]}"
fi
options=()
for arg in ${args[@]+"${args[@]}"}; do
  if [ "$arg" = --hardening ]; then
    cmake -S . -B build/bench-unhardened -DCMAKE_BUILD_TYPE=Release -DFILTERS_TESTS=OFF -DFILTERS_BENCH=OFF \
      -DFILTERS_HARDENING=OFF >/dev/null
    cmake --build build/bench-unhardened -j"$(nproc)" --target brovane brovane-rasterin calmeric dunsiple >/dev/null
    options+=(--unhardened build/bench-unhardened)
  else
    options+=("$arg")
  fi
done
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DFILTERS_TESTS=OFF -DFILTERS_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target brovane brovane-rasterin calmeric dunsiple dither_bench urf_baseline \
  workloads runner floors >/dev/null
exec python3 bench/bench.py --build "$build" ${options[@]+"${options[@]}"}
