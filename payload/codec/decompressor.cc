// The decoder: creation of the codec context, decode calls, destruction.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "payload/codec/bit_reader.h"
#include "payload/codec/block_header.h"
#include "payload/codec/codec_memory.h"
#include "payload/codec/context.h"
#include "payload/codec/symbol_decoder.h"

namespace telo {

void* (*codec_calloc)(std::size_t count, std::size_t size) = std::calloc;

namespace {

constexpr int kWindowMask = kWindowSize - 1;
constexpr int kWindowStep = 1024;     // a failed window allocation would retry this much smaller
constexpr int kLongestMatch = 256;
constexpr int kWordCopy = 8;          // bytes a match copy moves per step

template <typename T>
bool allocate_array(T*& array, std::size_t bytes) {
  array = static_cast<T*>(codec_calloc(1, bytes));
  return array != nullptr;
}

void free_context(Decompressor* context) {
  std::free(context->window);
  std::free(context->text);
  std::free(context->level);
  std::free(context->child_count);
  std::free(context->position);
  std::free(context->parent);
  std::free(context->prev);
  std::free(context->next);
  context->~Decompressor();
  std::free(context);
}

// Copies `length` bytes of a match to out[at...], the source lying `distance`
// bytes back (1 to 8192). The part before this call's output comes from the
// window, which holds the previous chunk at the same indices modulo 8192; the
// rest overlaps the output itself, so a short distance repeats a pattern.
// Words may be written up to 7 bytes past the match, never past `limit`.
int copy_match(const std::uint8_t* window, std::uint8_t* out, int at, int limit, int distance,
               int length) {
  if (distance > at) {
    const int from_window = std::min(length, distance - at);
    std::memcpy(out + at, window + kWindowSize - (distance - at), from_window);
    at += from_window;
    length -= from_window;
    if (length == 0) return at;
  }
  std::uint8_t* to = out + at;
  const std::uint8_t* from = to - distance;
  std::uint8_t* const stop = to + length;
  if (distance >= kWordCopy && at + length + kWordCopy <= limit) {
    do {
      std::memcpy(to, from, kWordCopy);
      to += kWordCopy;
      from += kWordCopy;
    } while (to < stop);
  } else if (distance == 1) {
    std::memset(to, *from, length);
  } else {
    while (to < stop) *to++ = *from++;
  }
  return at + length;
}

// Produces up to n bytes at out; fewer only when the stream was refused.
// Format notes: a block's symbols are literals and matches; the header of
// the next block is read only when a symbol is needed and the block is used
// up. A block size of 0 is never used up again (the count goes below zero).
int produce_chunk(Decompressor& context, BitReader& reader, std::uint8_t* out, int n) {
  const std::uint8_t* window = context.window;
  int produced = 0;
  if (context.copy_remaining > 0) {
    const int length = std::min(context.copy_remaining, n);
    produced = copy_match(window, out, 0, n, kWindowSize - static_cast<int>(context.copy_from), length);
    context.copy_remaining -= length;
    context.copy_from = (context.copy_from + length) & kWindowMask;
  }
  auto remaining = static_cast<std::uint32_t>(context.block_remaining);
  while (produced < n) {
    if (remaining == 0) {
      if (read_block_header(context, reader) != 0) break;
      remaining = static_cast<std::uint32_t>(context.block_remaining);
    }
    --remaining;  // wraps like the stored 32-bit count
    refill(reader);
    const std::uint32_t symbol = decode_symbol(reader, context);
    if (symbol < 256) {
      out[produced++] = static_cast<std::uint8_t>(symbol);
      continue;
    }
    const int length = static_cast<int>(symbol) - 253;
    const int distance = static_cast<int>(decode_offset(reader, context)) + 1;
    const int copied = std::min(length, n - produced);
    produced = copy_match(window, out, produced, n, distance, copied);
    if (copied < length) {
      context.copy_remaining = length - copied;
      context.copy_from = static_cast<std::uint32_t>(produced - distance) & kWindowMask;
    }
  }
  context.block_remaining = static_cast<std::int32_t>(remaining);
  return produced;
}

}  // namespace

int decompressor_create(Decompressor** slot) {
  if (slot == nullptr || *slot != nullptr) return CODEC_ERR_MISUSE;
  void* memory = codec_calloc(1, sizeof(Decompressor));
  if (memory == nullptr) return CODEC_ERR_NO_MEMORY;
  auto* context = new (memory) Decompressor{};
  bool ok = allocate_array(context->text, kTextSize) &&
            allocate_array(context->level, kTrieNodes) &&
            allocate_array(context->child_count, kTrieNodes) &&
            allocate_array(context->position, kTrieNodes * sizeof(std::uint16_t)) &&
            allocate_array(context->parent, kLeafCount * sizeof(std::uint16_t)) &&
            allocate_array(context->prev, kLeafCount * sizeof(std::uint16_t)) &&
            allocate_array(context->next, kNextSize * sizeof(std::uint16_t));
  // The window would shrink by a step after a failure, but not below the
  // size matches reach, so there is exactly one attempt.
  for (int size = kWindowSize; ok && size >= kWindowSize; size -= kWindowStep) {
    if (allocate_array(context->window, static_cast<std::size_t>(size))) {
      context->window_size = size;
      break;
    }
  }
  if (!ok || context->window == nullptr) {
    free_context(context);
    return CODEC_ERR_NO_MEMORY;
  }
  context->status = DECODE_NEW;
  *slot = context;
  return 0;
}

void decompressor_destroy(Decompressor** slot) {
  if (slot == nullptr || *slot == nullptr) return;
  free_context(*slot);
  *slot = nullptr;
}

int decompressor_decode(Decompressor* context, ByteWindow* source, ByteWindow* destination) {
  if (context == nullptr || source == nullptr || destination == nullptr) return CODEC_ERR_MISUSE;
  context->source = source;
  context->destination = destination;
  if (context->status == DECODE_FAILED) return context->error_code;
  if (destination->pos >= destination->end) return 0;  // no room: nothing to do
  const int n = static_cast<int>(
      std::min<std::ptrdiff_t>(destination->end - destination->pos, kChunkLimit));
  const bool fresh = context->status == DECODE_NEW;
  if (fresh) {
    // History before the first byte reads as zeros, whatever the context held.
    std::memset(context->window, 0, kWindowSize);
    context->block_remaining = 0;
    context->copy_remaining = 0;
    context->status = DECODE_RUNNING;
  }
  BitReader reader = bit_reader_resume(*context, *source, fresh);
  std::uint8_t* out = destination->pos;
  const int produced = produce_chunk(*context, reader, out, n);
  std::memset(out + produced, 0, static_cast<std::size_t>(n - produced));
  bit_reader_suspend(reader, *context, *source);
  std::memcpy(context->window, out, static_cast<std::size_t>(n));
  destination->pos += n;
  if (context->error_code != 0) {
    context->status = DECODE_FAILED;
    return context->error_code;
  }
  return 0;
}

}  // namespace telo
