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

constexpr int kWindowStep = 1024;  // a failed window allocation would retry this much smaller

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
  std::free(context->trie_store);
  context->~Decompressor();
  std::free(context);
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
