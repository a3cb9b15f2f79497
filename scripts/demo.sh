#!/usr/bin/env bash
# Sets up, builds, packs the sample application into build/telo-setup.bin
# and starts that installer (interactive; arguments are passed on to it,
# e.g. -TELO /home/me/telo).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target telo-installer telo-pack

build/telo-pack build -o build/telo-setup.bin examples/sample-app \
  --jre examples/sample-jre --java-runtime "jre1.8.0 sample" \
  --description "for Linux 32 bit (sample application)"
build/telo-pack verify build/telo-setup.bin
exec build/telo-setup.bin "$@"
