#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test: in the normal
# build, in the AddressSanitizer + UndefinedBehaviorSanitizer build, and
# cross-built for arm64 and armhf under qemu-user; plus a minute of each fuzz
# target and one small run of the benchmark; then the Debian packages built,
# checked, installed, tested where the scheduler finds them and purged.
set -euo pipefail
cd "$(dirname "$0")"
.ci/install-deps

jobs=$(nproc)
cmake -S . -B build/normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/normal -j"$jobs"
ctest --test-dir build/normal --output-on-failure -j"$jobs"

cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DFILTERS_SANITIZE=ON
cmake --build build/sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j"$jobs"

# The benchmark once on small inputs, so it keeps working (it fails only when
# a filter and its libcups reference write different bytes).
bench/run.sh --tiny

# Every libFuzzer target for a minute from its committed corpus (clang).
.ci/fuzz-smoke

# The same suite cross-built for the ARM boards, run under qemu-user, and the
# ARM filters' outputs compared byte for byte with the native ones.
.ci/cross

# The Debian packages for amd64, arm64 and armhf: lintian, hardening-check,
# the ARM packaged filters against the native ones, and the native package
# installed into this machine, tested under a private scheduler and purged.
.ci/packages
