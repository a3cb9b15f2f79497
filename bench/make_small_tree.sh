#!/usr/bin/env bash
# make_small_tree.sh DEST
# Builds a tree of many small files into DEST (must not exist yet): the
# benchmark for the per-file cost of extraction.
#   DEST/d000 .. DEST/d199   200 folders
#   each with f000.txt .. f499.txt, text of 25 to 500 bytes (words and lines)
# Determinism: the contents come from a generator started from a fixed value whose arithmetic
# is exact in any awk (a Park-Miller sequence), modes are 0644 and 0755, and
# every mtime is one fixed instant: the same tree on every machine.
set -euo pipefail
export LC_ALL=C
[ $# -eq 1 ] || { echo "usage: $0 DEST" >&2; exit 2; }
DEST=$1
[ -e "$DEST" ] && { echo "$DEST exists; remove it first" >&2; exit 1; }
mkdir -p "$DEST"
DEST=$(cd "$DEST" && pwd)
FIXED_TIME=@1700000000          # 2023-11-14 22:13:20 UTC

awk -v dest="$DEST" 'BEGIN {
  state = 20261211
  split("the of and to in is that for it as with was on be by this are or from at " \
        "file data value system install folder record table index path name mode time " \
        "size user group read write open close check list entry stream block byte line", words, " ")
  nwords = 0; for (w in words) nwords++
  for (d = 0; d < 200; d++) {
    dir = sprintf("%s/d%03d", dest, d)
    system("mkdir " dir)
    for (f = 0; f < 500; f++) {
      state = (state * 16807) % 2147483647
      size = 25 + state % 476
      text = ""
      col = 0
      while (length(text) < size) {
        state = (state * 16807) % 2147483647
        word = words[1 + state % nwords]
        if (col > 0 && col + length(word) > 60) { text = text "\n"; col = 0 }
        else if (col > 0) { text = text " "; col++ }
        text = text word
        col += length(word)
      }
      path = sprintf("%s/f%03d.txt", dir, f)
      printf "%s", substr(text, 1, size - 1) "\n" > path
      close(path)
    }
  }
}'
find "$DEST" -type d -exec chmod 0755 {} +
find "$DEST" -type f -exec chmod 0644 {} +
find "$DEST" -exec touch -h -d "$FIXED_TIME" {} +
printf 'total: %s files, %s dirs, %s bytes\n' "$(find "$DEST" -type f | wc -l)" \
  "$(find "$DEST" -mindepth 1 -type d | wc -l)" "$(find "$DEST" -type f -printf '%s\n' | awk '{t+=$1} END {print t+0}')"
