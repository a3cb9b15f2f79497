#include "codec/reference_decoder.h"

#include <algorithm>
#include <cstring>

#include "codec/context.h"
#include "codec/input_check.h"

namespace telo {
namespace {

constexpr int kWindowMask = kWindowSize - 1;

// --- Bit input: bit_buffer always holds the next 16 bits of the stream; the
// low last_byte_bits bits of last_byte follow them. ---

void take_byte(Decompressor& c) {
  ByteWindow& source = *c.source;
  if (source.pos >= source.end) {
    c.last_byte = 0;
    return;
  }
  c.last_byte = *source.pos++;
  ++source.consumed;
}

// Discards n bits (0 to 16).
void bits_fill(Decompressor& c, int n) {
  std::uint32_t buffer = static_cast<std::uint32_t>(c.bit_buffer) << n;
  while (n > c.last_byte_bits) {
    n -= c.last_byte_bits;
    buffer |= c.last_byte << n;
    take_byte(c);
    c.last_byte_bits = 8;
  }
  c.last_byte_bits -= n;
  buffer |= c.last_byte >> c.last_byte_bits;
  c.bit_buffer = static_cast<std::uint16_t>(buffer);
}

std::uint32_t bits_take(Decompressor& c, int n) {
  if (n == 0) return 0;
  const std::uint32_t value = c.bit_buffer >> (16 - n);
  bits_fill(c, n);
  return value;
}

// --- Code tables: a direct table on the first b bits, overflow trees below. ---

int build_table(Decompressor& c, int n, const std::uint8_t* lengths, int b, std::uint16_t* table) {
  std::uint32_t count[17] = {};
  for (int i = 0; i < n; ++i) ++count[lengths[i]];
  std::uint32_t start[18] = {};
  std::uint32_t total = 0;
  for (int j = 1; j <= 16; ++j) {
    start[j + 1] = (start[j] + (count[j] << (16 - j))) & 0xFFFF;
    total += count[j] << (16 - j);
  }
  // Beyond the 16-bit wrap test: an all-zero or over-full set is refused too.
  if (stream_rejects(c, start[17] != 0 || total != 65536)) return CODEC_ERR_BAD_TABLE;
  std::uint32_t weight[17] = {};
  for (int j = 1; j <= b; ++j) {
    start[j] >>= 16 - b;
    weight[j] = 1u << (b - j);
  }
  for (int j = b + 1; j <= 16; ++j) weight[j] = 1u << (16 - j);
  const std::uint32_t first_long = start[b + 1] >> (16 - b);
  if (first_long != 0) std::fill(table + first_long, table + (1 << b), 0);
  std::uint16_t next_node = static_cast<std::uint16_t>(n);
  const std::uint32_t mask = 1u << (15 - b);
  for (int x = 0; x < n; ++x) {
    const int length = lengths[x];
    if (length == 0) continue;
    const std::uint32_t next = start[length] + weight[length];
    if (length <= b) {
      std::fill(table + start[length], table + next, static_cast<std::uint16_t>(x));
    } else {
      std::uint32_t code = start[length];
      std::uint16_t* slot = &table[code >> (16 - b)];
      for (int step = 0; step < length - b; ++step) {
        if (*slot == 0) {
          *slot = next_node;
          c.left_child[next_node] = 0;
          c.right_child[next_node] = 0;
          ++next_node;
        }
        slot = (code & mask) ? &c.right_child[*slot] : &c.left_child[*slot];
        code <<= 1;
      }
      *slot = static_cast<std::uint16_t>(x);
    }
    start[length] = next & 0xFFFF;
  }
  return 0;
}

// Looks up a code: `shift` leaves the table bits of bit_buffer, `size` is the
// alphabet (values at or above it are tree nodes).
int decode_with(Decompressor& c, const std::uint16_t* table, int shift, int size,
                const std::uint8_t* lengths) {
  int value = table[c.bit_buffer >> shift];
  for (std::uint32_t mask = 1u << (shift - 1); value >= size; mask >>= 1) {
    value = (c.bit_buffer & mask) ? c.right_child[value] : c.left_child[value];
  }
  bits_fill(c, lengths[value]);
  return value;
}

// --- Block header ---

int read_small(Decompressor& c, int m, int width, int special) {
  const int count = static_cast<int>(bits_take(c, width));
  if (count == 0) {
    const int value = static_cast<int>(bits_take(c, width));
    if (stream_rejects(c, value >= m)) return CODEC_ERR_BAD_TABLE;
    std::fill_n(c.small_lengths, m, 0);
    std::fill_n(c.small_table, 256, static_cast<std::uint16_t>(value));
    return 0;
  }
  if (stream_rejects(c, count > m)) return CODEC_ERR_BAD_TABLE;
  int i = 0;
  while (i < count) {
    int length = c.bit_buffer >> 13;
    if (length == 7) {
      for (std::uint32_t mask = 0x1000; mask != 0 && (c.bit_buffer & mask); mask >>= 1) ++length;
    }
    if (stream_rejects(c, length > 16)) return CODEC_ERR_BAD_TABLE;
    bits_fill(c, length < 7 ? 3 : length - 3);
    c.small_lengths[i++] = static_cast<std::uint8_t>(length);
    if (i == special) {
      const int zeros = static_cast<int>(bits_take(c, 2));
      if (stream_rejects(c, i + zeros > m)) return CODEC_ERR_BAD_TABLE;
      for (int k = 0; k < zeros; ++k) c.small_lengths[i++] = 0;
    }
  }
  std::fill(c.small_lengths + i, c.small_lengths + m, 0);
  return build_table(c, m, c.small_lengths, 8, c.small_table);
}

int read_symbols(Decompressor& c) {
  const int count = static_cast<int>(bits_take(c, 9));
  if (count == 0) {
    const int value = static_cast<int>(bits_take(c, 9));
    if (stream_rejects(c, value >= kSymbolCodeSize)) return CODEC_ERR_BAD_TABLE;
    std::fill_n(c.symbol_lengths, kSymbolCodeSize, 0);
    std::fill_n(c.symbol_table, 4096, static_cast<std::uint16_t>(value));
    return 0;
  }
  if (stream_rejects(c, count > kSymbolCodeSize)) return CODEC_ERR_BAD_TABLE;
  int i = 0;
  while (i < count) {
    const int t = decode_with(c, c.small_table, 8, kLengthCodeSize, c.small_lengths);
    int zeros = 0;
    if (t == 0) zeros = 1;
    if (t == 1) zeros = 3 + static_cast<int>(bits_take(c, 4));
    if (t == 2) zeros = 20 + static_cast<int>(bits_take(c, 9));
    if (t >= 3) {
      c.symbol_lengths[i++] = static_cast<std::uint8_t>(t - 2);
      continue;
    }
    if (stream_rejects(c, i + zeros > kSymbolCodeSize)) return CODEC_ERR_BAD_TABLE;
    for (int k = 0; k < zeros; ++k) c.symbol_lengths[i++] = 0;
  }
  std::fill(c.symbol_lengths + i, c.symbol_lengths + kSymbolCodeSize, 0);
  return build_table(c, kSymbolCodeSize, c.symbol_lengths, 12, c.symbol_table);
}

int read_header(Decompressor& c) {
  c.block_remaining = static_cast<std::int32_t>(bits_take(c, 16));
  if (read_small(c, kLengthCodeSize, 5, 3) != 0 || read_symbols(c) != 0) return CODEC_ERR_BAD_TABLE;
  return read_small(c, kOffsetCodeSize, 4, 0);
}

// Copies the pending match into the window from index r; returns the new r.
int copy_pending(Decompressor& c, int r, int n) {
  while (c.copy_remaining > 0 && r < n) {
    c.window[r++] = c.window[c.copy_from];
    c.copy_from = (c.copy_from + 1) & kWindowMask;
    --c.copy_remaining;
  }
  return r;
}

}  // namespace

int reference_decode(Decompressor* context, ByteWindow* source, ByteWindow* destination) {
  if (context == nullptr || source == nullptr || destination == nullptr) return CODEC_ERR_MISUSE;
  Decompressor& c = *context;
  c.source = source;
  c.destination = destination;
  if (c.status == DECODE_FAILED) return c.error_code;
  if (destination->pos >= destination->end) return 0;
  const int n = static_cast<int>(std::min<std::ptrdiff_t>(destination->end - destination->pos, kChunkLimit));
  if (c.status == DECODE_NEW) {
    std::memset(c.window, 0, kWindowSize);
    c.bit_buffer = 0;
    c.last_byte = 0;
    c.last_byte_bits = 0;
    bits_fill(c, 16);
    c.block_remaining = 0;
    c.copy_remaining = 0;
    c.status = DECODE_RUNNING;
  }
  int r = copy_pending(c, 0, n);
  while (r < n) {
    if (c.block_remaining == 0 && read_header(c) != 0) break;
    c.block_remaining = static_cast<std::int32_t>(static_cast<std::uint32_t>(c.block_remaining) - 1);
    const int s = decode_with(c, c.symbol_table, 4, kSymbolCodeSize, c.symbol_lengths);
    if (s < 256) {
      c.window[r++] = static_cast<std::uint8_t>(s);
      continue;
    }
    c.copy_remaining = s - 253;
    const int q = decode_with(c, c.small_table, 8, kOffsetCodeSize, c.small_lengths);
    const int offset = q == 0 ? 0 : (1 << (q - 1)) + static_cast<int>(bits_take(c, q - 1));
    c.copy_from = static_cast<std::uint32_t>(r - offset - 1) & kWindowMask;
    r = copy_pending(c, r, n);
  }
  // A refused stream stops at once; the rest of its last chunk is zeros.
  std::memset(c.window + r, 0, static_cast<std::size_t>(n - r));
  std::memcpy(destination->pos, c.window, static_cast<std::size_t>(n));
  destination->pos += n;
  if (c.error_code != 0) {
    c.status = DECODE_FAILED;
    return c.error_code;
  }
  return 0;
}

}  // namespace telo
