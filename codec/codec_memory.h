#pragma once

// The allocator behind decompressor_create, replaceable so that tests can
// make an allocation fail.

#include <cstddef>
#include <type_traits>

namespace telo {

// std::calloc unless a test has put another function here.
extern void* (*codec_calloc)(std::size_t count, std::size_t size);

// A compressor level's work memory: made zero-filled on first use and kept in
// `slot` until decompressor_destroy frees it. Null when it cannot be had.
// All-zero bytes must be a valid Store, which plain arrays of numbers are.
template <typename Store>
Store* work_store(void*& slot) {
  static_assert(std::is_trivially_default_constructible_v<Store>);
  if (slot == nullptr) slot = codec_calloc(1, sizeof(Store));
  return static_cast<Store*>(slot);
}

}  // namespace telo
