#pragma once

// Match finder of the best level: binary trees. The positions that share a
// hash of their first three bytes form a binary search tree ordered by the
// strings that start there, newest at the root. Inserting a position walks
// down from the root and re-hangs the nodes it passes to either side of the
// new root, meeting on the way every match that is longer than all before
// it; so one walk finds the nearest match of each length, the list a
// near-optimal parser wants.
//
// Positions are coordinates as match_length.h describes them. A node 8192
// positions back shares its slot in `child` with the position being filed,
// so matches reach 8191 bytes back: one distance short of the window.

#include <cstdint>

#include "codec/codec.h"
#include "codec/match_length.h"

namespace telo {

inline constexpr int kTreeHashBits = 16;
inline constexpr int kTreeReach = kWindowSize - 1;

struct BinaryTrees {
  std::uint32_t head[1 << kTreeHashBits];  // root of each hash's tree
  std::uint32_t child[2 * kWindowSize];    // by coordinate mod 8192: smaller, then greater strings
};

// A match as the trees report it: length | distance << 16.
inline int tree_match_length(std::uint32_t m) { return static_cast<int>(m & 0xFFFF); }
inline int tree_match_distance(std::uint32_t m) { return static_cast<int>(m >> 16); }

// Files `here` (coordinate `cur`, `limit` bytes of it usable, 3 or more) and
// writes to `found` its matches of 3 bytes or more, each longer than the one
// before and the nearest of its length among the nodes visited. Visits at
// most `depth` nodes; a match of `nice` bytes or of the whole limit ends the
// walk and takes that node's place. Returns the count (at most 254).
int binary_trees_find(BinaryTrees& bt, const std::uint8_t* here, std::uint32_t cur, int limit,
                      int depth, int nice, std::uint32_t* found);

void binary_trees_reset(BinaryTrees& bt);
void binary_trees_rebase(BinaryTrees& bt, std::uint32_t shift);

}  // namespace telo
