#pragma once

// The codec context shared by both directions. Decoding uses the first
// group of fields; compressing uses the second group and the work arrays.

#include <cstdint>

#include "codec/codec.h"
#include "codec/code_table.h"

namespace telo {

// The compressor's text: history, coding area and lookahead. Allocated by
// the compressor's first call, so that a context that only decodes never
// carries it.
inline constexpr int kTextSize = 16640;

// The decoder builds each chunk right after the window's 8192 bytes, so that
// a match reads its source at a fixed distance back whether it lies in the
// history or in this chunk; the slack takes the whole words a copy writes
// past a match's end.
inline constexpr int kStagingSlack = 64;
inline constexpr int kWindowAllocation = 2 * kWindowSize + kStagingSlack;

struct Decompressor {
  // --- decoding ---
  ByteWindow* source = nullptr;
  ByteWindow* destination = nullptr;
  std::int32_t status = DECODE_NEW;
  std::int32_t error_code = 0;
  std::uint16_t bit_buffer = 0;     // always holds the next 16 bits of the stream
  std::uint32_t last_byte = 0;
  std::int32_t last_byte_bits = 0;  // low bits of last_byte not yet in bit_buffer
  std::uint32_t zero_bytes_taken = 0;  // bytes read as zeros past the source's end
  std::uint64_t start_bit = 0;      // where in the source a new stream's first bit lies
  std::int32_t window_size = 0;
  std::int32_t block_remaining = 0;
  // kWindowAllocation bytes: the history (kWindowSize, also the compressor's
  // block buffer), then the chunk being decoded and its slack.
  std::uint8_t* window = nullptr;
  std::uint8_t symbol_lengths[kSymbolCodeSize] = {};
  std::uint8_t small_lengths[20] = {};
  std::uint16_t left_child[kTreeNodes] = {};
  std::uint16_t right_child[kTreeNodes] = {};
  std::uint16_t symbol_table[1 << kSymbolTableBits] = {};
  std::uint16_t small_table[1 << kSmallTableBits] = {};
  std::int32_t copy_remaining = 0;
  std::uint32_t copy_from = 0;
  // The decoder's lookup tables (see code_table.h): each entry carries the
  // decoded value and its code length, so most codes take one lookup.
  std::uint32_t symbol_entries[kSymbolEntryCount] = {};
  std::uint32_t length_code_entries[kLengthCodeEntryCount] = {};
  std::uint32_t offset_entries[kOffsetEntryCount] = {};

  // --- compressing ---
  std::int32_t output_full = 0;
  std::uint32_t out_byte = 0;
  std::int32_t out_free_bits = 8;
  std::uint16_t symbol_freq[kTreeNodes] = {};
  std::uint16_t symbol_codes[kSymbolCodeSize] = {};
  std::uint16_t offset_freq[2 * kOffsetCodeSize - 1] = {};
  std::uint16_t small_codes[kLengthCodeSize] = {};
  std::uint16_t length_freq[2 * kLengthCodeSize - 1] = {};
  std::uint32_t flag_index = 0;
  std::uint32_t buffer_pos = 0;
  std::uint32_t flag_mask = 0;
  std::int16_t text_pos = 0;
  std::int16_t match_pos = 0;
  std::int32_t match_len = 0;
  std::int16_t free_node = 0;
  std::int32_t remainder = 0;

  // Work memory of the compressor, allocated by its first call and kept
  // until destroy: the text, and the trie's node records and child lists.
  std::uint8_t* text = nullptr;  // kTextSize bytes
  void* trie_store = nullptr;
  // Work memory of the fast and best levels, likewise made on first use.
  void* fast_store = nullptr;
  void* best_store = nullptr;
};

}  // namespace telo
