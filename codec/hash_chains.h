#pragma once

// Match finder of the fast level: hash chains. Each position is filed under
// the hash of its first three bytes; a search walks the chain of earlier
// positions with the same hash, newest first, for a bounded number of steps.
// Positions are coordinates as match_length.h describes them.

#include <cstdint>

#include "codec/codec.h"
#include "codec/match_length.h"

namespace telo {

inline constexpr int kHashChainBits = 16;

struct HashChains {
  std::uint32_t head[1 << kHashChainBits];  // newest coordinate with each hash
  std::uint32_t prev[kWindowSize];          // by coordinate mod 8192: the one before it
};

struct ChainMatch {
  int length = 0;    // 0 when nothing longer than the given length was found
  int distance = 0;  // 1..8192
};

// The longest match of `here` (coordinate `cur`) longer than `longer_than`,
// at most `limit` bytes (3 or more readable at here), visiting at most
// `depth` earlier positions and stopping at `nice` bytes. Does not file
// `here`: hash_chains_insert does, after the search, so that the entry of
// the position 8192 back is still there to be walked through.
inline ChainMatch hash_chains_search(const HashChains& hc, const std::uint8_t* here, std::uint32_t cur,
                                     int limit, int longer_than, int depth, int nice) {
  ChainMatch best;
  if (longer_than >= limit) return best;
  best.length = longer_than;
  std::uint32_t cand = hc.head[hash24(here, kHashChainBits)];
  for (; depth > 0; --depth) {
    const std::uint32_t distance = cur - cand;
    if (distance > static_cast<std::uint32_t>(kWindowSize) || distance == 0) break;
    const std::uint8_t* earlier = here - distance;
    // One byte past the best length decides most candidates at once.
    if (earlier[best.length] == here[best.length] && load24(earlier) == load24(here)) {
      const int length = match_length(earlier, here, 3, limit);
      if (length > best.length) {
        best.length = length;
        best.distance = static_cast<int>(distance);
        if (length >= nice || length == limit) break;
      }
    }
    cand = hc.prev[cand & (kWindowSize - 1)];
  }
  if (best.distance == 0) best.length = 0;
  return best;
}

// Files `here` (3 or more readable bytes) at coordinate `cur`.
inline void hash_chains_insert(HashChains& hc, const std::uint8_t* here, std::uint32_t cur) {
  std::uint32_t& head = hc.head[hash24(here, kHashChainBits)];
  hc.prev[cur & (kWindowSize - 1)] = head;
  head = cur;
}

// Empties the chains.
void hash_chains_reset(HashChains& hc);

// Moves every coordinate down by `shift` (rebase_coordinates).
void hash_chains_rebase(HashChains& hc, std::uint32_t shift);

}  // namespace telo
