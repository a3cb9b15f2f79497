#include "tests/codec/stream_reader.h"

#include <vector>

namespace telo::testing {

namespace {

struct Bits {
  std::span<const std::uint8_t> bytes;
  std::size_t at = 0;
  int one() {
    const std::size_t byte = at >> 3;
    const int bit = byte < bytes.size() ? (bytes[byte] >> (7 - (at & 7))) & 1 : 0;
    ++at;
    return bit;
  }
  int take(int n) {
    int value = 0;
    while (n-- > 0) value = (value << 1) | one();
    return value;
  }
};

// Decodes one symbol of a canonical code by growing the code bit by bit.
bool decode(Bits& bits, const StreamCode& code, int& symbol) {
  if (code.single >= 0) {
    symbol = code.single;
    return true;
  }
  int value = 0;
  int first = 0;
  for (int length = 1; length <= 16; ++length) {
    value = (value << 1) | bits.one();
    int count = 0;
    for (int l : code.lengths) count += l == length;
    if (value - first < count) {
      int index = value - first;
      for (std::size_t s = 0; s < code.lengths.size(); ++s) {
        if (code.lengths[s] == length && index-- == 0) {
          symbol = static_cast<int>(s);
          return true;
        }
      }
    }
    first = (first + count) << 1;
  }
  return false;
}

// The same walk with what it looks up made once per code: how many codes
// each length has, and the symbols in canonical order (by length, then
// value). Blocks of 65535 symbols would otherwise take the plain walk's scan
// of all 510 lengths for every bit.
struct Canonical {
  int single = -1;
  int count[17] = {};
  std::vector<int> order;
};

Canonical canonical(const StreamCode& code) {
  Canonical c;
  c.single = code.single;
  for (int length = 1; length <= 16; ++length) {
    for (std::size_t s = 0; s < code.lengths.size(); ++s) {
      if (code.lengths[s] != length) continue;
      ++c.count[length];
      c.order.push_back(static_cast<int>(s));
    }
  }
  return c;
}

bool decode(Bits& bits, const Canonical& code, int& symbol) {
  if (code.single >= 0) {
    symbol = code.single;
    return true;
  }
  int value = 0;
  int first = 0;
  int index = 0;  // canonical index of the first code of this length
  for (int length = 1; length <= 16; ++length) {
    value = (value << 1) | bits.one();
    if (value - first < code.count[length]) {
      symbol = code.order[static_cast<std::size_t>(index + value - first)];
      return true;
    }
    index += code.count[length];
    first = (first + code.count[length]) << 1;
  }
  return false;
}

bool complete(const StreamCode& code) {
  long sum = 0;
  for (int l : code.lengths) {
    if (l > 16) return false;
    if (l > 0) sum += 1L << (16 - l);
  }
  return sum == 65536;
}

bool read_small(Bits& bits, StreamCode& code, int m, int width, int zero_run_index) {
  code = {};
  const int count = bits.take(width);
  if (count == 0) {
    code.single = bits.take(width);
    return code.single < m;
  }
  code.lengths.assign(static_cast<std::size_t>(m), 0);
  int i = 0;
  while (i < count) {
    int length = bits.take(3);
    if (length == 7) {
      while (bits.one() == 1) ++length;
    }
    if (i >= m) return false;
    code.lengths[static_cast<std::size_t>(i++)] = length;
    if (i == zero_run_index) i += bits.take(2);
  }
  return complete(code);
}

bool read_symbol_code(Bits& bits, const StreamCode& length_code, StreamCode& code) {
  code = {};
  const int count = bits.take(9);
  if (count == 0) {
    code.single = bits.take(9);
    return code.single < 510;
  }
  code.lengths.assign(510, 0);
  int i = 0;
  while (i < count) {
    int t = 0;
    if (!decode(bits, length_code, t)) return false;
    int zeros = 0;
    if (t == 0) zeros = 1;
    if (t == 1) zeros = 3 + bits.take(4);
    if (t == 2) zeros = 20 + bits.take(9);
    if (t >= 3) {
      if (i >= 510) return false;
      code.lengths[static_cast<std::size_t>(i++)] = t - 2;
      continue;
    }
    if (i + zeros > 510) return false;
    i += zeros;
  }
  return complete(code);
}

}  // namespace

ParsedStream parse_stream(std::span<const std::uint8_t> stream, std::size_t output_size) {
  ParsedStream parsed;
  Bits bits{stream};
  do {
    StreamBlock block;
    const std::size_t start = bits.at;
    block.size = bits.take(16);
    if (!read_small(bits, block.length_code, 19, 5, 3) ||
        !read_symbol_code(bits, block.length_code, block.symbol_code) ||
        !read_small(bits, block.offset_code, 14, 4, -1)) {
      parsed.error = "bad code in block " + std::to_string(parsed.blocks.size());
      return parsed;
    }
    block.header_bits = bits.at - start;
    const Canonical symbol_code = canonical(block.symbol_code);
    const Canonical offset_code = canonical(block.offset_code);
    for (int k = 0; k < block.size && parsed.output.size() < output_size; ++k) {
      StreamToken token;
      if (!decode(bits, symbol_code, token.symbol)) {
        parsed.error = "bad symbol code";
        return parsed;
      }
      if (token.symbol < 256) {
        parsed.output.push_back(static_cast<std::uint8_t>(token.symbol));
      } else {
        int q = 0;
        if (!decode(bits, offset_code, q)) {
          parsed.error = "bad offset code";
          return parsed;
        }
        token.offset = q <= 1 ? q : (1 << (q - 1)) + bits.take(q - 1);
        for (int n = 0; n < token.symbol - 253; ++n) {
          const long from = static_cast<long>(parsed.output.size()) - token.offset - 1;
          parsed.output.push_back(from >= 0 ? parsed.output[static_cast<std::size_t>(from)] : 0);
        }
      }
      block.tokens.push_back(token);
    }
    block.bits = bits.at - start;
    parsed.blocks.push_back(std::move(block));
  } while (parsed.output.size() < output_size);
  parsed.bits = bits.at;
  return parsed;
}

}  // namespace telo::testing
