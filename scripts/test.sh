#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain build, the same suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the fuzzers for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"

# The installer must run on a bare host: nothing but the C library at run time.
needed=$(readelf -d build/telo-installer | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -v -x -e 'libc.so.6' -e 'ld-linux-x86-64.so.2' || true)
if [ -n "$needed" ]; then
  echo "telo-installer needs more than the C library: $needed" >&2
  exit 1
fi

ctest --test-dir build -j"$jobs" --output-on-failure

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTELO_SANITIZE=ON -DTELO_BENCH=OFF
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure

if [ -f scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh "${TELO_FUZZ_SECONDS:-60}"
fi
