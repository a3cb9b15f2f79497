#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain build, the installers for
# the other architectures with the suites that differ by architecture, the
# plain suite (which compares every architecture's installer with the
# x86-64 one), the packer's Debian package and its checks, the same suite
# under AddressSanitizer + UndefinedBehaviorSanitizer, the threaded
# extraction under ThreadSanitizer, and the fuzzers for a bounded time.
#
#   bash scripts/test.sh               every stage (what CI runs)
#   bash scripts/test.sh --quick       set-up, plain build and the plain suite
#   bash scripts/test.sh --stage NAME  set-up, what NAME needs, and NAME alone:
#                                      i386, armhf, aarch64, plain, package, asan, tsan, fuzz
#
# i386 programs run natively where the kernel takes them, else under
# qemu-i386-static; TELO_EMULATE_I386=1 asks for qemu on any host.
set -euo pipefail
cd "$(dirname "$0")/.."

all_stages=(i386 armhf aarch64 plain package asan tsan fuzz)
usage="usage: bash scripts/test.sh [--quick | --stage i386|armhf|aarch64|plain|package|asan|tsan|fuzz]"
stages=("${all_stages[@]}")
full_run=1
case "${1:-}" in
  "") ;;
  --quick) stages=(plain); full_run=0 ;;
  --stage)
    name=${2:-}
    if [[ " ${all_stages[*]} " != *" $name "* ]]; then
      echo "$usage" >&2
      exit 2
    fi
    stages=("$name"); full_run=0 ;;
  *) echo "$usage" >&2; exit 2 ;;
esac

# What each stage costs (set-up included in the first), printed at the end.
stage_times=""
stage_started=$SECONDS
end_stage() {
  stage_times+=$(printf '%-28s %5d s' "$1" $((SECONDS - stage_started)))$'\n'
  stage_started=$SECONDS
}

bash scripts/setup.sh
jobs=$(nproc)

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

# Whether this host runs i386 programs: some x86-64 kernels refuse them
# (no 32-bit emulation), and then every i386 program, the suites and the
# installers they start, runs under qemu-i386-static instead.
choose_i386_way() {
  if [ "${TELO_EMULATE_I386:-}" = 1 ]; then
    echo "i386: TELO_EMULATE_I386=1: i386 programs run under qemu-i386-static"
    return
  fi
  mkdir -p build
  printf 'int main(void) { return 0; }\n' | i686-linux-gnu-gcc -x c - -o build/i386-probe
  local refusal
  if refusal=$(build/i386-probe 2>&1); then
    echo "i386: this host runs i386 programs: the i386 suites run natively"
    export TELO_EMULATE_I386=0
  else
    echo "i386: this host refuses i386 programs (${refusal##*: }): the i386 suites run under qemu-i386-static"
    export TELO_EMULATE_I386=1
  fi
}
choose_i386_way

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

# Warnings are errors here, though not in a user's plain build.
plain_build() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELO_WERROR=ON
  cmake --build build -j"$jobs"
  check_needed build/telo-installer ld-linux-x86-64.so.2
}

# An installer for another architecture from its CMake preset, and the
# suites that differ by architecture: codec, payload, extraction and the
# installer as a whole program (under qemu-user where this host cannot run
# them, which CMake puts in front of every test).
declare -A loaders=([i386]=ld-linux.so.2 [armhf]=ld-linux-armhf.so.3 [aarch64]=ld-linux-aarch64.so.1)
arch_stage() {
  local arch=$1
  cmake --preset "$arch" >/dev/null
  cmake --build --preset "$arch-tests"
  check_needed "build-$arch/telo-installer" "${loaders[$arch]}"
  run_suite "build-$arch"
}

# The plain suite; in the whole run every architecture's installer is there,
# so the comparisons with the x86-64 one may not skip.
plain_stage() {
  if ((full_run)); then
    TELO_REQUIRE_ARCHS=1 run_suite build
  else
    run_suite build
  fi
}

# The packer's Debian package, made from the trees the other stages built
# (only the installer programs are built here when a preset tree lacks
# them): lintian finds no error, and the package unpacked with dpkg -x into
# a temporary root packs the sample application for every architecture with
# the installer program it holds, each result installing it (ARM ones under
# qemu-user); its manual pages render without a warning, its completion
# completes, and its packer's JSON parses.
package_stage() {
  local arch deb root
  for arch in i386 armhf aarch64; do
    cmake --preset "$arch" >/dev/null
    cmake --build --preset "$arch"
  done
  deb=$(bash scripts/make_deb.sh)
  lintian --fail-on error --display-info "$deb"
  root=$(mktemp -d)
  dpkg -x "$deb" "$root"
  TELO_PACKAGED_ROOT=$root TELO_REQUIRE_ARCHS=1 run_suite build -R 'ArchInstallers|PackJson|ManualPages|Completion'
  rm -rf "$root"
}

asan_stage() {
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTELO_SANITIZE=ON -DTELO_BENCH=OFF -DTELO_WERROR=ON
  cmake --build build-asan -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-asan
}

# Extraction reads ahead on several threads, and the packer codes on a pool
# of them: their own tests and the whole-program extraction and packer tests
# again, with everything built under ThreadSanitizer (a report fails the
# program's run and so the test).
tsan_stage() {
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELO_SANITIZE_THREAD=ON -DTELO_BENCH=OFF -DTELO_WERROR=ON
  cmake --build build-tsan -j"$jobs" --target installer_tests wizard_tests pack_tests tools_tests telo-installer telo-pack
  TSAN_OPTIONS=halt_on_error=1 run_suite build-tsan -R 'ReadAhead|RecordRing|Extraction|DamageSweep|HostFaults|Pack|Crafted'
}

fuzz_stage() {
  bash scripts/fuzz.sh "${TELO_FUZZ_SECONDS:-60}"
}

# The plain suite and the package need the plain build; every other stage builds its own tree.
if [[ " ${stages[*]} " == *" plain "* || " ${stages[*]} " == *" package "* ]]; then plain_build; fi
end_stage "set-up and plain build"

for stage in "${stages[@]}"; do
  case $stage in
    i386|armhf|aarch64) arch_stage "$stage"; end_stage "$stage: build and suites" ;;
    plain) plain_stage; end_stage "plain suite" ;;
    package) package_stage; end_stage "package and its checks" ;;
    asan) asan_stage; end_stage "ASan + UBSan" ;;
    tsan) tsan_stage; end_stage "TSan subset" ;;
    fuzz) fuzz_stage; end_stage "fuzzers" ;;
  esac
done
printf '\nstage times:\n%s' "$stage_times"

# Every suite above stops the script on its first failure, so reaching here means none failed.
echo "tests: $passed passed, $skipped skipped, 0 failed"
