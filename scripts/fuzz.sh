#!/bin/sh
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each one
# for a bounded time: scripts/fuzz.sh [SECONDS] (default 60).
# Crashing inputs land in build-fuzz/crashes/; keep them as regression files
# under fuzz/regressions/<target minus _fuzz>/.
set -eu
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TELO_FUZZ_BUILD:-$root/build-fuzz}

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTELO_FUZZ=ON -DTELO_TESTS=OFF -DTELO_BENCH=OFF >/dev/null
mkdir -p "$build/crashes"
status=0
for source in "$root"/fuzz/*_fuzz.cc; do
  target=$(basename "$source" .cc)
  cmake --build "$build" -j2 --target "$target"
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  starts="$root/fuzz/regressions/${target%_fuzz}"
  [ -d "$starts" ] || starts=
  echo "fuzzing $target for $seconds s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$build/crashes/$target-" -print_final_stats=1 \
      "$corpus" $starts; then
    echo "$target: crash, see $build/crashes/" >&2
    status=1
  fi
done
exit $status
