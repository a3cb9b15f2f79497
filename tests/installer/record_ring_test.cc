#include "installer/record_ring.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <utility>

namespace telo {
namespace {

using Span = std::pair<std::uint64_t, std::uint64_t>;  // [start, end)

bool overlap(Span a, Span b) { return a.first < b.second && b.first < a.second; }

// Takes and gives back spans at random, the way records come and go, and
// checks against a plain list of the spans held: a span handed out lies
// inside the region and overlaps none held; an empty ring fits anything up
// to its size; a ring that says "no room" really has no gap that keeps the
// order (after the newest span, or from 0 up to the oldest).
TEST(RecordRing, SpansNeverOverlapAndAnEmptyRingTakesAnything) {
  std::mt19937_64 random(17);
  for (std::uint64_t size : {1000u, 4096u, 100000u}) {
    RecordRing ring;
    ring.size = size;
    std::deque<Span> held;
    for (int step = 0; step < 20000; ++step) {
      bool give = !held.empty() && (held.size() == kRingSpans || random() % 3 == 0);
      if (give) {
        ring_give_back_oldest(&ring);
        held.pop_front();
        continue;
      }
      std::uint64_t bytes = 1 + random() % (random() % 4 == 0 ? size : size / 8);
      std::uint64_t at = ring_room(ring, bytes);
      if (held.empty()) {
        ASSERT_EQ(at, 0u) << "empty ring, " << bytes << " bytes";
      }
      if (at == kNoRoom) {
        std::uint64_t head = held.back().second, tail = held.front().first;
        if (held.front().first <= held.back().first) {  // in order: room after the newest or before the oldest
          EXPECT_TRUE(size - head < bytes && tail < bytes) << step;
        } else {  // gone round: room between the newest and the oldest
          EXPECT_LT(tail - head, bytes) << step;
        }
        continue;
      }
      Span taken{at, at + bytes};
      ASSERT_LE(taken.second, size) << step;
      for (const Span& s : held) ASSERT_FALSE(overlap(s, taken)) << step << " at " << at;
      ring_take(&ring, at, bytes);
      held.push_back(taken);
      // Now and then the newest span keeps only its front, as a record's
      // stored bytes are given back once decoded.
      if (random() % 4 == 0) {
        std::uint64_t keep = 1 + random() % bytes;
        ring_shrink_newest(&ring, keep);
        held.back().second = at + keep;
      }
    }
  }
}

TEST(RecordRing, ShrinkingTheNewestSpanFreesItsTailForTheNext) {
  RecordRing ring;
  ring.size = 100;
  ring_take(&ring, ring_room(ring, 60), 60);  // decoded 40 + stored 20, say
  EXPECT_EQ(ring_room(ring, 60), kNoRoom);
  ring_shrink_newest(&ring, 40);
  EXPECT_EQ(ring_room(ring, 60), 40u);
}

TEST(RecordRing, AFullSetOfSpansWaitsForOneToGoBack) {
  RecordRing ring;
  ring.size = 1000;
  for (int k = 0; k < kRingSpans; ++k) ring_take(&ring, ring_room(ring, 1), 1);
  EXPECT_EQ(ring_room(ring, 1), kNoRoom);
  ring_give_back_oldest(&ring);
  EXPECT_EQ(ring_room(ring, 1), static_cast<std::uint64_t>(kRingSpans));
}

}  // namespace
}  // namespace telo
