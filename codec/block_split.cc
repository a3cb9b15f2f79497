#include "codec/block_split.h"

namespace telo {

namespace {
// Blocks shorter than this are not cut: a header costs a few hundred bits.
constexpr std::uint32_t kMinSplitSymbols = 4096;
}

bool split_here(BlockSplitStats& s) {
  bool end = false;
  if (s.block_total >= kMinSplitSymbols) {
    // Sum over kinds of |recent share - block share|, scaled by both totals
    // to stay in integers; 0 = same mix, 2 = nothing in common.
    std::uint64_t delta = 0;
    for (int k = 0; k < kSplitKinds; ++k) {
      const std::uint64_t a = std::uint64_t{s.recent[k]} * s.block_total;
      const std::uint64_t b = std::uint64_t{s.block[k]} * s.recent_total;
      delta += a > b ? a - b : b - a;
    }
    // Longer blocks need less of a change: they have more symbols to gain on.
    const std::uint64_t scale = std::uint64_t{s.block_total} * s.recent_total;
    const std::uint64_t bonus = std::uint64_t{s.block_total / 4096} * scale / 64;
    end = (delta + bonus) * 10 >= scale * 4;
  }
  for (int k = 0; k < kSplitKinds; ++k) {
    if (end) s.block[k] = 0;
    s.block[k] += s.recent[k];
    s.recent[k] = 0;
  }
  s.block_total = (end ? 0 : s.block_total) + s.recent_total;
  s.recent_total = 0;
  return end;
}

void split_restart(BlockSplitStats& s) {
  for (std::uint32_t& count : s.block) count = 0;
  s.block_total = 0;
}

}  // namespace telo
