#!/bin/sh
# Builds what the installation benchmark needs in a release build directory
# and runs it:   bench/install_bench.sh [CORPUS] [--rounds N] [--work DIR]
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build=${TELO_BENCH_BUILD:-$src/build-bench}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTELO_TESTS=OFF -DTELO_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target telo-installer telo-pack install_bench >/dev/null
exec "$build/bench/install_bench" "$@"
