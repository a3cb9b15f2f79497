#include "installer/record_ring.h"

namespace telo {

namespace {

int index_of(const RecordRing& ring, int k) { return (ring.first + k) % kRingSpans; }

std::uint64_t tail(const RecordRing& ring) { return ring.starts[ring.first]; }

}  // namespace

std::uint64_t ring_room(const RecordRing& ring, std::uint64_t bytes) {
  if (ring.count == 0) return bytes <= ring.size ? 0 : kNoRoom;
  if (ring.count == kRingSpans) return kNoRoom;
  if (ring.wrapped) return bytes <= tail(ring) - ring.head ? ring.head : kNoRoom;
  if (bytes <= ring.size - ring.head) return ring.head;
  return bytes <= tail(ring) ? 0 : kNoRoom;
}

void ring_take(RecordRing* ring, std::uint64_t at, std::uint64_t bytes) {
  if (ring->count > 0 && at < ring->head) ring->wrapped = true;
  int k = index_of(*ring, ring->count++);
  ring->starts[k] = at;
  ring->ends[k] = at + bytes;
  ring->head = at + bytes;
}

void ring_shrink_newest(RecordRing* ring, std::uint64_t bytes) {
  int k = index_of(*ring, ring->count - 1);
  ring->ends[k] = ring->starts[k] + bytes;
  ring->head = ring->ends[k];
}

void ring_give_back_oldest(RecordRing* ring) {
  std::uint64_t old_tail = tail(*ring);
  ring->first = index_of(*ring, 1);
  if (--ring->count == 0) {
    ring->first = 0;
    ring->head = 0;
    ring->wrapped = false;
  } else if (tail(*ring) < old_tail) {
    ring->wrapped = false;  // past the point where the spans went round
  }
}

}  // namespace telo
