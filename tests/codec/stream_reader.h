#pragma once

// A plain reader of the compressed stream for tests: it lists each block's
// header and symbols, so tests can look at what the compressor chose. It
// walks canonical codes bit by bit and shares no code with the decoder.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace telo::testing {

struct StreamToken {
  int symbol = 0;  // < 256 literal, else match of length symbol - 253
  int offset = 0;  // matches only: 0..8191, distance - 1
};

struct StreamCode {
  int single = -1;                  // the single-symbol form's value, or -1
  std::vector<int> lengths;         // the counted form's lengths
};

struct StreamBlock {
  int size = 0;
  StreamCode length_code;
  StreamCode symbol_code;
  StreamCode offset_code;
  std::size_t header_bits = 0;      // bits from the block's start to its first symbol
  std::size_t bits = 0;             // bits of the whole block
  std::vector<StreamToken> tokens;
};

struct ParsedStream {
  std::vector<StreamBlock> blocks;
  std::vector<std::uint8_t> output;  // the bytes the tokens stand for
  std::size_t bits = 0;              // bits read in all
  std::string error;                 // empty when the stream parsed cleanly
};

// Reads blocks until `output_size` bytes are produced.
ParsedStream parse_stream(std::span<const std::uint8_t> stream, std::size_t output_size);

}  // namespace telo::testing
