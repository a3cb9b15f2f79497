#pragma once

// Near-optimal parsing of the best level: with a price in bits for every
// literal, every match length and every offset class, the cheapest way to
// code a stretch of input as literals and matches is a shortest path from
// its first byte to its end, each byte a node, each literal an edge of one
// byte and each match found there an edge of every length it allows. The
// prices come from the code lengths of the previous parse, so the parse is
// run again to settle on codes that suit it.

#include <cstdint>

#include "codec/codec.h"
#include "codec/context.h"
#include "codec/symbol_records.h"

namespace telo {

// Bits per symbol. Offsets are priced by class, extra bits included.
struct Prices {
  std::uint32_t literal[256];
  std::uint32_t length[kMaxMatchLength + 1];  // 3..256 used
  std::uint32_t offset_class[kOffsetCodeSize];
};

// Matches found at each position of a stretch: position i has those in
// entries[first[i]] up to entries[first[i + 1]], in the binary trees' form
// (longer each, length | distance << 16).
struct MatchList {
  const std::uint32_t* first = nullptr;
  const std::uint32_t* entries = nullptr;
};

// Work room of one parse of n positions: n + 1 entries each.
struct ParseRoom {
  std::uint32_t* cost = nullptr;
  std::uint32_t* choice = nullptr;
};

// First prices, before any parse: literals by how often each byte occurs in
// `data`, lengths and offsets by the usual shape of their codes.
void prices_first_guess(Prices& prices, const std::uint8_t* data, int size);

// Prices from counts of symbols (510) and offset classes (14): the lengths
// of Huffman codes built for them, as block_write_codes would build them.
// Builds in the context's code arrays (symbol_freq, symbol_lengths, ...),
// which it leaves changed.
void prices_from_counts(Prices& prices, Decompressor& c, const std::uint32_t* symbol_counts,
                        const std::uint32_t* offset_counts);

// The cheapest parse of data[from, to) with these prices, using the matches
// of each position cut to `to`. Writes the records to `records` (room for
// to - from) and returns their count.
int parse_cheapest(const std::uint8_t* data, const MatchList& matches, int from, int to,
                   const Prices& prices, ParseRoom room, SymbolRecord* records);

}  // namespace telo
