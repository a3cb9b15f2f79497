#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain build, the same suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, the threaded extraction under
# ThreadSanitizer, and the fuzzers for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

# Warnings are errors here, though not in a user's plain build.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELO_WERROR=ON
cmake --build build -j"$jobs"

# The installer must run on a bare host: nothing but the C library at run time.
needed=$(readelf -d build/telo-installer | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -v -x -e 'libc.so.6' -e 'ld-linux-x86-64.so.2' || true)
if [ -n "$needed" ]; then
  echo "telo-installer needs more than the C library: $needed" >&2
  exit 1
fi

# Runs one ctest suite and adds its counts to the closing summary.
passed=0
skipped=0
run_suite() {
  local dir=$1 log
  shift
  log="$dir/ctest-summary.log"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure "$@" | tee "$log"
  local total not_run
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  not_run=$(grep -c '(Skipped)$' "$log" || true)
  passed=$((passed + ${total:-0} - not_run))
  skipped=$((skipped + not_run))
}

run_suite build

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTELO_SANITIZE=ON -DTELO_BENCH=OFF -DTELO_WERROR=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-asan

# Extraction reads ahead on a second thread, and the packer codes on a
# pool of them: their own tests and the whole-program extraction and packer
# tests again, with everything built under ThreadSanitizer (a report fails
# the program's run and so the test).
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELO_SANITIZE_THREAD=ON -DTELO_BENCH=OFF -DTELO_WERROR=ON
cmake --build build-tsan -j"$jobs" --target installer_tests wizard_tests pack_tests tools_tests telo-installer telo-pack
TSAN_OPTIONS=halt_on_error=1 run_suite build-tsan -R 'ReadAhead|RecordRing|Extraction|DamageSweep|HostFaults|Pack|Crafted'

if [ -f scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh "${TELO_FUZZ_SECONDS:-60}"
fi

# Every suite above stops the script on its first failure, so reaching here means none failed.
echo "tests: $passed passed, $skipped skipped, 0 failed"
