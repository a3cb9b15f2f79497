#pragma once

// A tiny bit writer for building codec streams by hand in tests: fields go
// most significant bit first, bytes fill from bit 7 down.

#include <cassert>
#include <cstdint>
#include <vector>

namespace telo::testing {

struct BitWriter {
  std::vector<std::uint8_t> bytes;
  int free_bits = 0;  // unused low bits of the last byte

  // Appends the low n bits (0 to 32) of value.
  void put(int n, std::uint32_t value) {
    assert(n == 32 || value < (std::uint64_t{1} << n));
    for (int bit = n - 1; bit >= 0; --bit) {
      if (free_bits == 0) {
        bytes.push_back(0);
        free_bits = 8;
      }
      --free_bits;
      bytes.back() |= static_cast<std::uint8_t>(((value >> bit) & 1) << free_bits);
    }
  }

  std::size_t bit_count() const { return bytes.size() * 8 - static_cast<std::size_t>(free_bits); }
};

}  // namespace telo::testing
