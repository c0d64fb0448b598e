#!/usr/bin/env bash
# Installs what is needed, builds the filters, starts a private CUPS scheduler
# with the sample colour queue, prints the bundled sample URF job through it,
# and writes the raster the printer would receive with a PNG preview of it.
set -euo pipefail
cd "$(dirname "$0")"
.ci/install-deps

cmake -S . -B build/normal -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/normal -j"$(nproc)" >/dev/null

mkdir -p out
python3 tools/print-sample.py build/normal out
