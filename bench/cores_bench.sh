#!/usr/bin/env bash
# Installation on one core and on every core, with and without pieces:
#   bench/cores_bench.sh [CORPUS] [--rounds N] [--work DIR]
# Packs CORPUS (app/ in slot 0, jre/ in slot 1; made with make_corpus.sh when
# missing) three ways: --level fast (pieces and their table), --level fast
# --pieces off (the same stream, no table) and --level reference; also its
# largest file alone with pieces, the corpus in 64 MiB pieces (for the
# size pieces cost), and an uncompressed tar of the corpus.
# Then times `telo-pack extract` of each on all processors and on one
# (taskset -c 0), and `tar -xf`, into a fresh directory of DIR (default: a
# folder in /dev/shm, a tmpfs), the contenders taking turns round by round.
# Prints each one's median wall time and the ratios the design aims at.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
corpus=$src/build/bench-corpus
rounds=7
work=""
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) corpus=$1; shift ;;
  esac
done
build=${TELO_BENCH_BUILD:-$src/build-bench}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTELO_TESTS=OFF -DTELO_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target telo-pack >/dev/null
pack=$build/telo-pack
[ -d "$corpus/app" ] || bash "$src/bench/make_corpus.sh" "$corpus" >&2
[ -n "$work" ] || work=$(mktemp -d /dev/shm/telo-cores-XXXXXX)
mkdir -p "$work"
trap 'rm -rf "$work/out"' EXIT
cd "$work"

largest=$(find "$corpus" -type f -printf '%s %p\n' | sort -n | tail -1 | cut -d' ' -f2-)
mkdir -p largest && cp "$largest" largest/
"$pack" build -o pieces.bin --level fast --jre "$corpus/jre" "$corpus/app" >/dev/null
"$pack" build -o nopieces.bin --level fast --pieces off --jre "$corpus/jre" "$corpus/app" >/dev/null
"$pack" build -o reference.bin --level reference --jre "$corpus/jre" "$corpus/app" >/dev/null
"$pack" build -o largest.bin --level fast largest >/dev/null
# The size pieces cost: the same level cut as seldom as the packer allows.
"$pack" build -o fewcuts.bin --level fast --pieces 64 --jre "$corpus/jre" "$corpus/app" >/dev/null
tar -cf corpus.tar -C "$corpus" app jre
for f in pieces.bin nopieces.bin reference.bin largest.bin corpus.tar; do cat "$f" >/dev/null; done

names=(pieces pieces@1 nopieces nopieces@1 reference reference@1 largest largest@1 tar)
command_of() {
  local name=${1%@1} front=""
  [ "$name" != "$1" ] && front="taskset -c 0"
  if [ "$name" = tar ]; then echo "tar -xf corpus.tar -C out"; else echo "$front $pack extract $name.bin out"; fi
}
declare -A times
for ((r = 0; r < rounds; r++)); do
  for ((k = 0; k < ${#names[@]}; k++)); do
    name=${names[$(((k + r) % ${#names[@]}))]}
    rm -rf out && mkdir out
    start=$(date +%s%N)
    $(command_of "$name") >/dev/null
    times[$name]+="$((($(date +%s%N) - start) / 1000)) "
  done
done
median() { tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{a[NR]=$1} END {printf "%.3f", a[int((NR+1)/2)]/1e6}'; }
declare -A m
echo "corpus $corpus; $(nproc) processors; $rounds rounds; medians in seconds"
for name in "${names[@]}"; do
  m[$name]=$(median "${times[$name]}")
  printf '%-14s %s   (%s)\n' "$name" "${m[$name]}" "$(command_of "$name")"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
echo
echo "pieces, all / one processor:     $(ratio "${m[pieces]}" "${m[pieces@1]}")   (aim <= 0.75)"
echo "pieces / tar -xf:                $(ratio "${m[pieces]}" "${m[tar]}")   (aim <= 1.5)"
echo "reference, all / one processor:  $(ratio "${m[reference]}" "${m[reference@1]}")   (aim <= 1.0)"
echo "nopieces, all / one processor:   $(ratio "${m[nopieces]}" "${m[nopieces@1]}")"
echo "largest file, one / all:         $(ratio "${m[largest@1]}" "${m[largest]}")   (aim >= 1.7)"
echo "size, 2 MiB / 64 MiB pieces:     $(awk -v a="$(stat -c %s pieces.bin)" -v b="$(stat -c %s fewcuts.bin)" 'BEGIN {printf "%.5f", a / b}')   (aim <= 1.002)"
