#include "codec/block_coder.h"

#include <bit>
#include <cstring>

#include "codec/huffman_builder.h"

namespace telo {

namespace {

constexpr int kBufferSlack = 24;        // a group of eight matches still fits behind the flush mark
constexpr int kSymbolCountBits = 16;    // block-size field
constexpr int kSymbolLengthCountBits = 9;
constexpr int kLengthCountBits = 5;
constexpr int kOffsetCountBits = 4;
constexpr int kLengthZeroRunIndex = 3;  // after length 3 of the code-length code: zeros among 3..5
constexpr int kNoZeroRunIndex = -1;
constexpr int kZeroRunEnd = 6;


inline void put_code(BitOutput& out, const std::uint8_t* lengths, const std::uint16_t* codes, int x) {
  bits_put(out, lengths[x], codes[x]);
}

// Lengths 0..509 without the trailing zeros.
int used_symbol_lengths(const Decompressor& c) {
  int n = kSymbolCodeSize;
  while (n > 0 && c.symbol_lengths[n - 1] == 0) --n;
  return n;
}

// Visits the symbol lengths as the code-length code sends them: `length(k)`
// for a nonzero length k, `zeros(r)` for a maximal run of r zero lengths.
template <typename Length, typename Zeros>
void walk_symbol_lengths(const Decompressor& c, int n, Length length, Zeros zeros) {
  int i = 0;
  while (i < n) {
    const int k = c.symbol_lengths[i++];
    if (k != 0) {
      length(k);
      continue;
    }
    int run = 1;
    while (i < n && c.symbol_lengths[i] == 0) {
      ++i;
      ++run;
    }
    zeros(run);
  }
}

void count_length_symbols(Decompressor& c, int n) {
  std::memset(c.length_freq, 0, sizeof(std::uint16_t) * kLengthCodeSize);
  walk_symbol_lengths(
      c, n, [&](int k) { ++c.length_freq[k + 2]; },
      [&](int run) {
        if (run <= 2) {
          c.length_freq[0] = static_cast<std::uint16_t>(c.length_freq[0] + run);
        } else if (run <= 18) {
          ++c.length_freq[1];
        } else if (run == 19) {
          ++c.length_freq[0];
          ++c.length_freq[1];
        } else {
          ++c.length_freq[2];
        }
      });
}

void write_symbol_lengths(Decompressor& c, BitOutput& out, int n) {
  bits_put(out, kSymbolLengthCountBits, static_cast<std::uint32_t>(n));
  const std::uint8_t* lengths = c.small_lengths;
  const std::uint16_t* codes = c.small_codes;
  walk_symbol_lengths(
      c, n, [&](int k) { put_code(out, lengths, codes, k + 2); },
      [&](int run) {
        if (run <= 2) {
          for (int z = 0; z < run; ++z) put_code(out, lengths, codes, 0);
        } else if (run <= 18) {
          put_code(out, lengths, codes, 1);
          bits_put(out, 4, static_cast<std::uint32_t>(run - 3));
        } else if (run == 19) {
          put_code(out, lengths, codes, 0);
          put_code(out, lengths, codes, 1);
          bits_put(out, 4, 15);
        } else {
          put_code(out, lengths, codes, 2);
          bits_put(out, 9, static_cast<std::uint32_t>(run - 20));
        }
      });
}

// Lengths 0..6 as 3 bits; 7..16 as L - 3 bits: 1 bits and a closing 0.
void write_small_lengths(Decompressor& c, BitOutput& out, int m, int count_bits, int zero_run_index) {
  int n = m;
  while (n > 0 && c.small_lengths[n - 1] == 0) --n;
  bits_put(out, count_bits, static_cast<std::uint32_t>(n));
  int i = 0;
  while (i < n) {
    const int length = c.small_lengths[i++];
    if (length <= 6) {
      bits_put(out, 3, static_cast<std::uint32_t>(length));
    } else {
      bits_put(out, length - 3, (1u << (length - 3)) - 2);
    }
    if (i == zero_run_index) {
      while (i < kZeroRunEnd && c.small_lengths[i] == 0) ++i;
      bits_put(out, 2, static_cast<std::uint32_t>(i - zero_run_index));
    }
  }
}

void write_symbol_code(Decompressor& c, BitOutput& out, int root) {
  if (root < kSymbolCodeSize) {
    // One symbol only: the code-length code and the symbol code in single-symbol form.
    bits_put(out, kLengthCountBits, 0);
    bits_put(out, kLengthCountBits, 0);
    bits_put(out, kSymbolLengthCountBits, 0);
    bits_put(out, kSymbolLengthCountBits, static_cast<std::uint32_t>(root));
    return;
  }
  const int n = used_symbol_lengths(c);
  count_length_symbols(c, n);
  const int length_root = tree_build({kLengthCodeSize, c.length_freq, c.small_lengths,
                                      c.small_codes, c.left_child, c.right_child});
  if (length_root >= kLengthCodeSize) {
    write_small_lengths(c, out, kLengthCodeSize, kLengthCountBits, kLengthZeroRunIndex);
  } else {
    bits_put(out, kLengthCountBits, 0);
    bits_put(out, kLengthCountBits, static_cast<std::uint32_t>(length_root));
  }
  write_symbol_lengths(c, out, n);
}

void write_offset_code(Decompressor& c, BitOutput& out) {
  const int root = tree_build({kOffsetCodeSize, c.offset_freq, c.small_lengths, c.small_codes,
                               c.left_child, c.right_child});
  if (root >= kOffsetCodeSize) {
    write_small_lengths(c, out, kOffsetCodeSize, kOffsetCountBits, kNoZeroRunIndex);
  } else {
    bits_put(out, kOffsetCountBits, 0);
    bits_put(out, kOffsetCountBits, static_cast<std::uint32_t>(root));
  }
}

// Writes the buffered symbols with the block's codes; stops once the output is full.
void replay_block(Decompressor& c, BitOutput& out, int size) {
  const std::uint8_t* buffer = c.window;
  int flags = 0;
  for (int i = 0; i < size && !out.full; ++i) {
    if ((i & 7) == 0) flags = *buffer++;
    const int byte = *buffer++;
    if ((flags & 0x80) == 0) {
      block_put_literal(c, out, byte);
    } else {
      block_put_match(c, out, 256 + byte, (buffer[0] << 8) | buffer[1]);
      buffer += 2;
    }
    flags <<= 1;
  }
}

// Bits the offset codes and the symbol codes of the block take with the
// codes just built: every symbol's code word, every offset's class code and
// extra bits. Codes in single-symbol form have length 0 and cost nothing.
std::uint64_t symbol_bits(const Decompressor& c) {
  std::uint64_t bits = 0;
  for (int s = 0; s < kSymbolCodeSize; ++s) bits += std::uint64_t{c.symbol_freq[s]} * c.symbol_lengths[s];
  for (int q = 0; q < kOffsetCodeSize; ++q) {
    const int extra = q > 1 ? q - 1 : 0;
    bits += std::uint64_t{c.offset_freq[q]} * static_cast<std::uint64_t>(c.small_lengths[q] + extra);
  }
  return bits;
}

}  // namespace

void block_reset(Decompressor& c) {
  c.window[0] = 0;
  std::memset(c.symbol_freq, 0, sizeof(c.symbol_freq));
  std::memset(c.offset_freq, 0, sizeof(c.offset_freq));
  c.buffer_pos = 0;
  c.flag_mask = 0;
  c.flag_index = 0;
}

bool block_open_group(Decompressor& c, BitOutput& out) {
  c.flag_mask = 0x80;
  if (c.buffer_pos >= static_cast<std::uint32_t>(c.window_size - kBufferSlack)) {
    block_send(c, out);
    if (c.error_code != 0 || out.full) return false;
    c.buffer_pos = 0;
  }
  c.flag_index = c.buffer_pos;
  c.window[c.buffer_pos++] = 0;
  return true;
}

// Format notes: a block opens with its symbol count in 16 bits, then the
// code-length code, the symbol code and the offset code. The count is the
// frequency of the symbol code's root, which is why a block holds at most
// 65535 symbols: the 16-bit frequencies add up to it.
int block_write_codes(Decompressor& c, BitOutput& out) {
  const int root = tree_build({kSymbolCodeSize, c.symbol_freq, c.symbol_lengths, c.symbol_codes,
                               c.left_child, c.right_child});
  const int size = c.symbol_freq[root];
  bits_put(out, kSymbolCountBits, static_cast<std::uint32_t>(size));
  write_symbol_code(c, out, root);
  write_offset_code(c, out);
  return size;
}

void block_clear_counts(Decompressor& c) {
  std::memset(c.symbol_freq, 0, sizeof(std::uint16_t) * kSymbolCodeSize);
  std::memset(c.offset_freq, 0, sizeof(std::uint16_t) * kOffsetCodeSize);
}

std::uint64_t block_cost_bits(Decompressor& c) {
  // The header is written for real into scratch room, so its size is the
  // writer's own and cannot drift from it; the largest one is about 1.1 KB.
  std::uint8_t scratch[4096];
  BitOutput probe;
  bit_output_start(probe, scratch, scratch + sizeof scratch);
  block_write_codes(c, probe);
  const auto header = static_cast<std::uint64_t>(probe.pos - scratch) * 8 + static_cast<std::uint64_t>(probe.count);
  return header + symbol_bits(c);
}

void block_send(Decompressor& c, BitOutput& out) {
  const int size = block_write_codes(c, out);
  replay_block(c, out, size);
  block_clear_counts(c);
}

}  // namespace telo
