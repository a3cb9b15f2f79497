#include "codec/binary_trees.h"

#include <algorithm>
#include <cstring>

namespace telo {

namespace {
constexpr std::uint32_t kSlotMask = kWindowSize - 1;
}

int binary_trees_find(BinaryTrees& bt, const std::uint8_t* here, std::uint32_t cur, int limit,
                      int depth, int nice, std::uint32_t* found) {
  std::uint32_t& head = bt.head[hash24(here, kTreeHashBits)];
  std::uint32_t cand = head;
  head = cur;
  // Where the next node smaller (greater) than `here` hangs, and how many
  // bytes the nodes on that side are known to share with it.
  std::uint32_t* smaller = &bt.child[2 * (cur & kSlotMask)];
  std::uint32_t* greater = smaller + 1;
  int smaller_len = 0;
  int greater_len = 0;
  int best = kMinMatch - 1;
  int count = 0;
  for (;;) {
    const std::uint32_t distance = cur - cand;
    if (distance - 1 >= static_cast<std::uint32_t>(kTreeReach) || depth-- == 0) break;
    const std::uint8_t* earlier = here - distance;
    std::uint32_t* pair = &bt.child[2 * (cand & kSlotMask)];
    int length = std::min(smaller_len, greater_len);
    if (earlier[length] == here[length]) {
      length = match_length(earlier, here, length + 1, limit);
      if (length > best) {
        best = length;
        found[count++] = static_cast<std::uint32_t>(length) | distance << 16;
      }
      if (length >= nice || length == limit) {
        // `here` takes the node's place: its subtrees become here's.
        *smaller = pair[0];
        *greater = pair[1];
        return count;
      }
    }
    if (earlier[length] < here[length]) {
      *smaller = cand;
      smaller = &pair[1];
      smaller_len = length;
      cand = *smaller;
    } else {
      *greater = cand;
      greater = &pair[0];
      greater_len = length;
      cand = *greater;
    }
  }
  *smaller = 0;
  *greater = 0;
  return count;
}

void binary_trees_reset(BinaryTrees& bt) {
  std::memset(bt.head, 0, sizeof bt.head);
  std::memset(bt.child, 0, sizeof bt.child);
}

void binary_trees_rebase(BinaryTrees& bt, std::uint32_t shift) {
  rebase_coordinates(bt.head, 1 << kTreeHashBits, shift);
  rebase_coordinates(bt.child, 2 * kWindowSize, shift);
}

}  // namespace telo
