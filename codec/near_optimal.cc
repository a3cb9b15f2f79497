#include "codec/near_optimal.h"

#include <algorithm>
#include <bit>

#include "codec/binary_trees.h"
#include "codec/huffman_builder.h"

namespace telo {

namespace {

constexpr int kLiteralPick = 1;  // choice entry of a literal; a match keeps length | distance << 16

inline int extra_bits(int offset_class) { return offset_class > 1 ? offset_class - 1 : 0; }

inline std::uint32_t offset_price(const Prices& prices, int distance) {
  return prices.offset_class[std::bit_width(static_cast<unsigned>(distance - 1))];
}

// Huffman frequencies are 16-bit and must add up to at most 65535: large
// counts are scaled down, every used symbol keeping at least 1.
void scale_counts(const std::uint32_t* counts, int n, std::uint16_t* freq) {
  std::uint64_t total = 0;
  for (int i = 0; i < n; ++i) total += counts[i];
  int shift = 0;
  while ((total >> shift) + static_cast<std::uint64_t>(n) > 65535) ++shift;
  for (int i = 0; i < n; ++i) {
    const std::uint32_t scaled = counts[i] >> shift;
    freq[i] = static_cast<std::uint16_t>(counts[i] == 0 ? 0 : std::max<std::uint32_t>(scaled, 1));
  }
}

// A symbol the last parse did not use still has a price: a little more
// than the longest code in use, since a code that takes it in needs a long
// word for it.
std::uint32_t unused_price(const std::uint8_t* lengths, int n, std::uint32_t floor) {
  std::uint32_t longest = 0;
  for (int i = 0; i < n; ++i) longest = std::max<std::uint32_t>(longest, lengths[i]);
  return std::clamp<std::uint32_t>(longest + 1, floor, kMaxCodeLength);
}

}  // namespace

void prices_first_guess(Prices& prices, const std::uint8_t* data, int size) {
  std::uint32_t histogram[256] = {};
  for (int i = 0; i < size; ++i) ++histogram[data[i]];
  const auto total = static_cast<std::uint32_t>(std::max(size, 1));
  for (int b = 0; b < 256; ++b) {
    // About -log2 of the byte's share, and a bit for the matches sharing the code.
    const std::uint32_t share = total / std::max<std::uint32_t>(histogram[b], 1);
    prices.literal[b] = std::min<std::uint32_t>(std::bit_width(share) + 1, kMaxCodeLength);
  }
  for (int length = kMinMatch; length <= kMaxMatchLength; ++length) {
    prices.length[length] = 6 + static_cast<std::uint32_t>(std::bit_width(static_cast<unsigned>(length - 2)));
  }
  for (int q = 0; q < kOffsetCodeSize; ++q) prices.offset_class[q] = 4 + static_cast<std::uint32_t>(extra_bits(q));
}

void prices_from_counts(Prices& prices, Decompressor& c, const std::uint32_t* symbol_counts,
                        const std::uint32_t* offset_counts) {
  scale_counts(symbol_counts, kSymbolCodeSize, c.symbol_freq);
  scale_counts(offset_counts, kOffsetCodeSize, c.offset_freq);
  tree_build({kSymbolCodeSize, c.symbol_freq, c.symbol_lengths, c.symbol_codes, c.left_child, c.right_child});
  tree_build({kOffsetCodeSize, c.offset_freq, c.small_lengths, c.small_codes, c.left_child, c.right_child});
  const std::uint32_t unused_symbol = unused_price(c.symbol_lengths, kSymbolCodeSize, 8);
  const std::uint32_t unused_offset = unused_price(c.small_lengths, kOffsetCodeSize, 4);
  auto price = [](std::uint8_t length, std::uint32_t unused, std::uint32_t count) {
    // A lone symbol has length 0 and costs nothing; an unused one has length 0 too.
    return length != 0 || count != 0 ? std::uint32_t{length} : unused;
  };
  for (int b = 0; b < 256; ++b) prices.literal[b] = price(c.symbol_lengths[b], unused_symbol, symbol_counts[b]);
  for (int length = kMinMatch; length <= kMaxMatchLength; ++length) {
    const int s = 256 + length - kMinMatch;
    prices.length[length] = price(c.symbol_lengths[s], unused_symbol, symbol_counts[s]);
  }
  for (int q = 0; q < kOffsetCodeSize; ++q) {
    prices.offset_class[q] = price(c.small_lengths[q], unused_offset, offset_counts[q]) +
                             static_cast<std::uint32_t>(extra_bits(q));
  }
}

// Shortest path, from the end backwards: cost[k] is the price of the
// cheapest coding of data[from + k, to). A match of length L at a position
// stands for every length from 3 to L, each at the distance of the first
// (nearest) match that reaches it.
int parse_cheapest(const std::uint8_t* data, const MatchList& matches, int from, int to,
                   const Prices& prices, ParseRoom room, SymbolRecord* records) {
  const int n = to - from;
  room.cost[n] = 0;
  for (int k = n - 1; k >= 0; --k) {
    const int pos = from + k;
    std::uint32_t best = prices.literal[data[pos]] + room.cost[k + 1];
    std::uint32_t pick = kLiteralPick;
    const int room_left = n - k;
    int length = kMinMatch;
    for (std::uint32_t e = matches.first[pos]; e < matches.first[pos + 1] && length <= room_left; ++e) {
      const int reach = std::min(tree_match_length(matches.entries[e]), room_left);
      const int distance = tree_match_distance(matches.entries[e]);
      const std::uint32_t offset_cost = offset_price(prices, distance);
      for (; length <= reach; ++length) {
        const std::uint32_t total = prices.length[length] + offset_cost + room.cost[k + length];
        if (total < best) {
          best = total;
          pick = static_cast<std::uint32_t>(length) | static_cast<std::uint32_t>(distance) << 16;
        }
      }
    }
    room.cost[k] = best;
    room.choice[k] = pick;
  }
  int count = 0;
  for (int k = 0; k < n;) {
    const std::uint32_t pick = room.choice[k];
    if (pick == kLiteralPick) {
      records[count++] = literal_record(data[from + k]);
      ++k;
    } else {
      const int length = tree_match_length(pick);
      records[count++] = match_record(length, tree_match_distance(pick));
      k += length;
    }
  }
  return count;
}

}  // namespace telo
