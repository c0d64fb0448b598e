#!/usr/bin/env bash
# Installs what is needed, builds the filters and converts the bundled sample
# URF job for the bundled 600 dpi colour printer, as the scheduler would.
set -euo pipefail
cd "$(dirname "$0")"
.ci/install-deps

cmake -S . -B build/normal -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/normal -j"$(nproc)" --target brovane >/dev/null

mkdir -p out
status=0
PPD=tests/ppd/colour-600.ppd build/normal/brovane/brovane 1 "$(id -un)" sample 1 "" samples/sample.urf \
  >out/sample.ras 2>out/sample.log || status=$?
echo "brovane exited with status $status"
grep -E '^INFO: Rendering|Result of raster decode' out/sample.log || true
echo "CUPS raster output: $(pwd)/out/sample.ras ($(stat -c %s out/sample.ras) bytes)"
echo "Filter log:         $(pwd)/out/sample.log"
