#pragma once

// Measuring a match: how many bytes two positions of the input have in
// common, eight at a time; and the coordinates the match finders file
// positions under.

#include <bit>
#include <cstdint>
#include <cstring>

#include "codec/codec.h"

namespace telo {

// Match finders keep positions as 32-bit coordinates that start at
// kFirstCoordinate, so that a zero entry (never filled) always lies out of
// reach. Before a coordinate could overflow, the compressor moves them all
// down by a multiple of the window (rebase_coordinates), which keeps each
// one's slot in the arrays indexed by coordinate mod 8192.
inline constexpr int kMinMatch = 3;          // the shortest match the format has
inline constexpr int kMaxMatchLength = 256;  // and the longest

inline constexpr std::uint32_t kFirstCoordinate = 2 * kWindowSize;
inline constexpr std::uint32_t kRebaseAt = 1u << 31;
inline constexpr std::uint32_t kRebaseShift = 1u << 30;

// A call does not clear its match finder: its coordinates start a window
// past where the last call's ended (`next`, kept in the work memory), so
// nothing filed before is within reach and the stream is the one a clear
// finder would give. Only when `next` is unset or near the point of moving
// coordinates down does the caller clear the finder (true) and start afresh.
inline bool coordinates_start_afresh(std::uint32_t& next) {
  if (next >= kFirstCoordinate && next < kRebaseAt) return false;
  next = kFirstCoordinate;
  return true;
}

// `next` after a call whose positions all lie below coordinate `end`.
inline std::uint32_t coordinates_after(std::uint32_t end) { return end + kWindowSize; }

inline void rebase_coordinates(std::uint32_t* entries, int count, std::uint32_t shift) {
  for (int i = 0; i < count; ++i) {
    entries[i] = entries[i] >= shift + kWindowSize ? entries[i] - shift : 0;
  }
}

inline std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Index of the first differing byte of two words loaded from memory.
inline int first_difference(std::uint64_t x) {
  if constexpr (std::endian::native == std::endian::little) {
    return std::countr_zero(x) >> 3;
  } else {
    return std::countl_zero(x) >> 3;
  }
}

// Common length of `earlier` and `here`, from `start` (known equal) up to
// `limit`. Reads nothing at or past here + limit; `earlier` lies before `here`.
inline int match_length(const std::uint8_t* earlier, const std::uint8_t* here, int start, int limit) {
  int length = start;
  while (length + 8 <= limit) {
    const std::uint64_t x = load64(earlier + length) ^ load64(here + length);
    if (x != 0) return length + first_difference(x);
    length += 8;
  }
  while (length < limit && earlier[length] == here[length]) ++length;
  return length;
}

// The first three bytes as one number, the key both match finders hash.
inline std::uint32_t load24(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
}

inline std::uint32_t hash24(const std::uint8_t* p, int bits) {
  return (load24(p) * 0x9E3779B1u) >> (32 - bits);
}

}  // namespace telo
