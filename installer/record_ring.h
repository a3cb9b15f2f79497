#pragma once

// Places for records' buffers in one region, taken one after another and
// given back in the order they were taken (first in, first out), so that
// the pages touched for one record serve the next ones again. Only offsets
// are kept here; the region itself belongs to the caller.

#include <cstdint>

namespace telo {

inline constexpr int kRingSpans = 32;  // spans held at once, at most
inline constexpr std::uint64_t kNoRoom = UINT64_MAX;

struct RecordRing {
  std::uint64_t size = 0;
  std::uint64_t head = 0;     // end of the newest span
  bool wrapped = false;       // the newest span lies before the oldest
  std::uint64_t starts[kRingSpans] = {};  // of the spans held, oldest first (a ring)
  std::uint64_t ends[kRingSpans] = {};
  int first = 0;
  int count = 0;
};

// Where a span of `bytes` would start, or kNoRoom until spans are given
// back. With no span held, any span up to the region's size fits at 0.
std::uint64_t ring_room(const RecordRing& ring, std::uint64_t bytes);

// Takes the span of `bytes` at `at`, which ring_room gave.
void ring_take(RecordRing* ring, std::uint64_t at, std::uint64_t bytes);

// The newest span keeps only its first `bytes`.
void ring_shrink_newest(RecordRing* ring, std::uint64_t bytes);

// Gives back the oldest span.
void ring_give_back_oldest(RecordRing* ring);

}  // namespace telo
