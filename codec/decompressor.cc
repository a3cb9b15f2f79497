// The decoder: creation of the codec context, decode calls, destruction.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/bit_reader.h"
#include "codec/chunk_decoder.h"
#include "codec/codec_memory.h"
#include "codec/context.h"

namespace telo {

void* (*codec_calloc)(std::size_t count, std::size_t size) = std::calloc;

namespace {

void free_context(Decompressor* context) {
  std::free(context->window);
  std::free(context->text);
  std::free(context->trie_store);
  std::free(context->fast_store);
  std::free(context->best_store);
  context->~Decompressor();
  std::free(context);
}

}  // namespace

int decompressor_create(Decompressor** slot) {
  if (slot == nullptr || *slot != nullptr) return CODEC_ERR_MISUSE;
  void* memory = codec_calloc(1, sizeof(Decompressor));
  if (memory == nullptr) return CODEC_ERR_NO_MEMORY;
  auto* context = new (memory) Decompressor{};
  // Matches reach back the whole window, so a smaller one is no use.
  context->window = static_cast<std::uint8_t*>(codec_calloc(1, kWindowAllocation));
  if (context->window == nullptr) {
    free_context(context);
    return CODEC_ERR_NO_MEMORY;
  }
  context->window_size = kWindowSize;
  context->status = DECODE_NEW;
  *slot = context;
  return 0;
}

void decompressor_reset(Decompressor* context) {
  if (context == nullptr) return;
  context->status = DECODE_NEW;
  context->error_code = 0;
  context->start_bit = 0;
}

void decompressor_start_at(Decompressor* context, std::uint64_t bit_offset) {
  decompressor_reset(context);
  if (context != nullptr) context->start_bit = bit_offset;
}

bool decompressor_between_blocks(const Decompressor* context) {
  return context->block_remaining == 0 && context->copy_remaining == 0;
}

void decompressor_destroy(Decompressor** slot) {
  if (slot == nullptr || *slot == nullptr) return;
  free_context(*slot);
  *slot = nullptr;
}

std::uint64_t decompressor_bits_used(const Decompressor* context, const ByteWindow* source) {
  // The plain form holds 16 bits of bit_buffer and last_byte_bits more,
  // read from the bytes taken (or past the end) but not yet used.
  const std::uint64_t taken = std::uint64_t{source->consumed} + context->zero_bytes_taken;
  const std::uint64_t held = 16 + static_cast<std::uint64_t>(context->last_byte_bits);
  return context->status == DECODE_NEW || taken * 8 < held ? 0 : taken * 8 - held;
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
    context->zero_bytes_taken = 0;
    context->status = DECODE_RUNNING;
  }
  BitReader reader = bit_reader_resume(*context, *source, fresh);
  std::uint8_t* const chunk = context->window + kWindowSize;
  const int produced = produce_chunk(*context, reader, n);
  std::memset(chunk + produced, 0, static_cast<std::size_t>(n - produced));
  bit_reader_suspend(reader, *context, *source);
  std::memcpy(destination->pos, chunk, static_cast<std::size_t>(n));
  std::memcpy(context->window, chunk, static_cast<std::size_t>(n));
  destination->pos += n;
  if (context->error_code != 0) {
    context->status = DECODE_FAILED;
    return context->error_code;
  }
  return 0;
}

}  // namespace telo
