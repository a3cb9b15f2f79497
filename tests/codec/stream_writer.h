#pragma once

// Writes codec streams for tests: block headers from explicit code lengths,
// literals and matches through canonical codes, and random complete codes.

#include <cstdint>
#include <random>
#include <vector>

#include "tests/codec/bit_writer.h"

namespace telo::testing {

// One code of a block: lengths per symbol, or the single-symbol form.
struct CodeSpec {
  std::vector<std::uint8_t> lengths;  // per symbol of the alphabet (counted form)
  int single = -1;                    // >= 0: the single-symbol form naming this symbol
  std::vector<std::uint32_t> codes;   // canonical code words of the counted form
};

CodeSpec single_symbol_code(int symbol);
CodeSpec counted_code(std::vector<std::uint8_t> lengths);

// A random complete code (lengths 1 to 16) over `used`, or the single-symbol
// form when only one symbol is used.
CodeSpec random_code(std::mt19937& rng, const std::vector<int>& used, int alphabet);

void put_code(BitWriter& w, const CodeSpec& code, int symbol);

// A small-code length: 0..6 in 3 bits, 7..16 as L - 3 bits of ones ending in 0.
void put_length(BitWriter& w, int length);

// A small code's header: count and lengths (with the zero-run field after
// index zero_run_index - 1), or count 0 and the single symbol.
void put_small_code(BitWriter& w, const CodeSpec& code, int count_width, int zero_run_index);

// The symbol code's lengths as code-length symbols with their extra bits.
struct LengthToken {
  int symbol;
  int extra_bits;
  std::uint32_t extra;
};
std::vector<LengthToken> length_tokens(const std::vector<std::uint8_t>& symbol_lengths);

// The symbol code's header (count 9 bits, then tokens through length_code).
void put_symbol_code(BitWriter& w, const CodeSpec& symbols, const CodeSpec& length_code);

// A literal (length 0) or a match of `length` bytes at `offset` (distance - 1).
struct Item {
  int length = 0;
  int offset = 0;
  std::uint8_t literal = 0;
};
inline Item literal(std::uint8_t byte) { return Item{0, 0, byte}; }
inline Item match(int length, int offset) { return Item{length, offset, 0}; }

int offset_class(int offset);

struct Block {
  std::uint32_t size = 0;  // the block-size field
  CodeSpec length_code, symbols, offsets;
  std::vector<Item> items;
};

// A block for these items with random complete codes.
Block make_block(std::mt19937& rng, std::vector<Item> items);

void put_block_header(BitWriter& w, const Block& block);
void put_item(BitWriter& w, const Block& block, const Item& item);
void put_block(BitWriter& w, const Block& block);

// What decoding the items yields (history before the first byte is zeros).
std::vector<std::uint8_t> expand(const std::vector<Block>& blocks);

// Random items: text-like literals and matches reaching up to the window.
std::vector<Item> random_items(std::mt19937& rng, int count);

}  // namespace telo::testing
