#pragma once

// The allocator behind decompressor_create, replaceable so that tests can
// make an allocation fail.

#include <cstddef>

namespace telo {

// std::calloc unless a test has put another function here.
extern void* (*codec_calloc)(std::size_t count, std::size_t size);

}  // namespace telo
