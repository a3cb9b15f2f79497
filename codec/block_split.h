#pragma once

// When to end a block of the fast level: symbols are sorted into a few kinds
// (literals by their top three bits, short and long matches), and every 512
// symbols the kinds of the newest ones are compared with those of the block
// so far. A block ends where they differ enough that codes of its own would
// pay for a new header, or when it is full.

#include <cstdint>

namespace telo {

inline constexpr int kSplitKinds = 10;
inline constexpr int kSplitCheckEvery = 512;

struct BlockSplitStats {
  std::uint32_t block[kSplitKinds] = {};  // symbols of the block before the newest ones
  std::uint32_t recent[kSplitKinds] = {};
  std::uint32_t block_total = 0;
  std::uint32_t recent_total = 0;
};

inline void split_note_literal(BlockSplitStats& s, int byte) {
  ++s.recent[byte >> 5];
  ++s.recent_total;
}

inline void split_note_match(BlockSplitStats& s, int length) {
  ++s.recent[length < 9 ? 8 : 9];
  ++s.recent_total;
}

// Called once recent_total reaches kSplitCheckEvery: true when the block
// should end here (the stats then start afresh), false when the newest
// symbols join it.
bool split_here(BlockSplitStats& s);

// Forgets the block's symbols (not the newest ones) after a block was ended
// for being full.
void split_restart(BlockSplitStats& s);

}  // namespace telo
