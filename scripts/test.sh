#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain build, the installers for
# the other architectures with the suites that differ by architecture, the
# plain suite (which compares every architecture's installer with the
# x86-64 one), the same suite under AddressSanitizer +
# UndefinedBehaviorSanitizer, the threaded extraction under ThreadSanitizer,
# and the fuzzers for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
# What each stage costs (set-up included in the first), printed at the end.
stage_times=""
stage_started=$SECONDS

bash scripts/setup.sh
jobs=$(nproc)

# Warnings are errors here, though not in a user's plain build.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELO_WERROR=ON
cmake --build build -j"$jobs"

# The installer must run on a bare host: nothing but the C library and its
# loader at run time.
check_needed() {
  local installer=$1 loader=$2 needed
  needed=$(readelf -d "$installer" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -v -x -e 'libc.so.6' -e "$loader" || true)
  if [ -n "$needed" ]; then
    echo "$installer needs more than the C library: $needed" >&2
    exit 1
  fi
}
check_needed build/telo-installer ld-linux-x86-64.so.2

end_stage() {
  stage_times+=$(printf '%-28s %5d s' "$1" $((SECONDS - stage_started)))$'\n'
  stage_started=$SECONDS
}
end_stage "set-up and plain build"

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

# The installers for the other architectures, each from its CMake preset,
# and on each the suites that differ by architecture: codec, payload,
# extraction and the installer as a whole program (i386 natively, ARM under
# qemu-user, which CMake puts in front of every test).
declare -A loaders=([i386]=ld-linux.so.2 [armhf]=ld-linux-armhf.so.3 [aarch64]=ld-linux-aarch64.so.1)
for arch in i386 armhf aarch64; do
  cmake --preset "$arch" >/dev/null
  cmake --build --preset "$arch-tests"
  check_needed "build-$arch/telo-installer" "${loaders[$arch]}"
  run_suite "build-$arch"
  end_stage "$arch build and suites"
done

# Every architecture's installer is there now: the comparisons with the
# x86-64 one may not skip.
export TELO_REQUIRE_ARCHS=1
run_suite build
end_stage "plain suite"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTELO_SANITIZE=ON -DTELO_BENCH=OFF -DTELO_WERROR=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-asan
end_stage "ASan + UBSan"

# Extraction reads ahead on a second thread, and the packer codes on a
# pool of them: their own tests and the whole-program extraction and packer
# tests again, with everything built under ThreadSanitizer (a report fails
# the program's run and so the test).
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELO_SANITIZE_THREAD=ON -DTELO_BENCH=OFF -DTELO_WERROR=ON
cmake --build build-tsan -j"$jobs" --target installer_tests wizard_tests pack_tests tools_tests telo-installer telo-pack
TSAN_OPTIONS=halt_on_error=1 run_suite build-tsan -R 'ReadAhead|RecordRing|Extraction|DamageSweep|HostFaults|Pack|Crafted'
end_stage "TSan subset"

if [ -f scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh "${TELO_FUZZ_SECONDS:-60}"
  end_stage "fuzzers"
fi
printf '\nstage times:\n%s' "$stage_times"

# Every suite above stops the script on its first failure, so reaching here means none failed.
echo "tests: $passed passed, $skipped skipped, 0 failed"
