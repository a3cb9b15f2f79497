// The match finders of the fast and best levels, against a plain search of
// the whole window: every match they report is real and within reach, with
// no limit on their walk they find the longest match, and moving their
// coordinates down (as inputs of over 2 GiB make them do) changes nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "codec/binary_trees.h"
#include "codec/hash_chains.h"
#include "tests/codec/sample_inputs.h"

namespace telo {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Text and machine-code-like bytes with repeats near and far.
Bytes mixed_input(std::size_t n) {
  static const char* const vocabulary[] = {"match ", "the ", "window ", "of ", "trees ", "\n", "chain "};
  Bytes v = testing::words_from(vocabulary, n / 2, 3);
  const Bytes noise = testing::random_bytes(n / 2, 4);
  for (std::size_t i = 0; i < noise.size(); ++i) {
    v.push_back(i % 7 < 3 ? static_cast<std::uint8_t>(noise[i] & 0x0F) : v[v.size() - 1 - noise[i] % 64]);
  }
  return v;
}

// The longest match of input[pos...] reaching at most `reach` back.
int longest_match(const Bytes& input, std::size_t pos, int limit, int reach) {
  int best = 0;
  for (std::size_t d = 1; d <= static_cast<std::size_t>(reach) && d <= pos; ++d) {
    int length = 0;
    while (length < limit && input[pos - d + length] == input[pos + length]) ++length;
    best = std::max(best, length);
  }
  return best >= kMinMatch ? best : 0;
}

int limit_at(const Bytes& input, std::size_t pos) {
  return static_cast<int>(std::min<std::size_t>(kMaxMatchLength, input.size() - pos));
}

void expect_real(const Bytes& input, std::size_t pos, int length, int distance, int reach) {
  ASSERT_GE(distance, 1);
  ASSERT_LE(distance, reach);
  ASSERT_LE(static_cast<std::size_t>(distance), pos);
  for (int k = 0; k < length; ++k) ASSERT_EQ(input[pos - distance + k], input[pos + k]) << pos;
}

// What a finder reports at every position, coordinates starting at `first`
// and moved down by kRebaseShift once `rebase_at` positions are filed.
using Finder = std::vector<std::uint32_t> (*)(const Bytes&, std::uint32_t first, std::size_t rebase_at);

std::vector<std::uint32_t> chain_reports(const Bytes& input, std::uint32_t first, std::size_t rebase_at) {
  auto hc = std::make_unique<HashChains>();
  hash_chains_reset(*hc);
  std::vector<std::uint32_t> reports;
  std::uint32_t cur = first;
  for (std::size_t pos = 0; pos + kMinMatch <= input.size(); ++pos, ++cur) {
    if (pos == rebase_at) {
      hash_chains_rebase(*hc, kRebaseShift);
      cur -= kRebaseShift;
    }
    const ChainMatch m = hash_chains_search(*hc, input.data() + pos, cur, limit_at(input, pos),
                                            kMinMatch - 1, 1 << 20, kMaxMatchLength);
    hash_chains_insert(*hc, input.data() + pos, cur);
    reports.push_back(static_cast<std::uint32_t>(m.length) | static_cast<std::uint32_t>(m.distance) << 16);
  }
  return reports;
}

std::vector<std::uint32_t> tree_reports(const Bytes& input, std::uint32_t first, std::size_t rebase_at) {
  auto bt = std::make_unique<BinaryTrees>();
  binary_trees_reset(*bt);
  std::vector<std::uint32_t> reports;
  std::uint32_t found[kMaxMatchLength];
  std::uint32_t cur = first;
  for (std::size_t pos = 0; pos + kMinMatch <= input.size(); ++pos, ++cur) {
    if (pos == rebase_at) {
      binary_trees_rebase(*bt, kRebaseShift);
      cur -= kRebaseShift;
    }
    const int count = binary_trees_find(*bt, input.data() + pos, cur, limit_at(input, pos), 1 << 20,
                                        kMaxMatchLength, found);
    reports.insert(reports.end(), found, found + count);
    reports.push_back(0);  // ends the position's list
  }
  return reports;
}

TEST(MatchFinders, HashChainsFindTheLongestMatchInTheWindow) {
  const Bytes input = mixed_input(30000);
  const auto reports = chain_reports(input, kFirstCoordinate, input.size());
  for (std::size_t pos = 0; pos < reports.size(); ++pos) {
    const int length = static_cast<int>(reports[pos] & 0xFFFF);
    const int distance = static_cast<int>(reports[pos] >> 16);
    ASSERT_EQ(length, longest_match(input, pos, limit_at(input, pos), kWindowSize)) << pos;
    if (length > 0) expect_real(input, pos, length, distance, kWindowSize);
  }
}

TEST(MatchFinders, BinaryTreesListLongerMatchesUpToTheLongest) {
  const Bytes input = mixed_input(30000);
  const auto reports = tree_reports(input, kFirstCoordinate, input.size());
  std::size_t at = 0;
  for (std::size_t pos = 0; pos + kMinMatch <= input.size(); ++pos) {
    int previous = kMinMatch - 1;
    for (; reports[at] != 0; ++at) {
      const int length = tree_match_length(reports[at]);
      ASSERT_GT(length, previous) << pos;
      expect_real(input, pos, length, tree_match_distance(reports[at]), kTreeReach);
      previous = length;
    }
    ++at;
    const int longest = longest_match(input, pos, limit_at(input, pos), kTreeReach);
    ASSERT_EQ(previous == kMinMatch - 1 ? 0 : previous, longest) << pos;
  }
}

TEST(MatchFinders, MovingTheCoordinatesDownChangesNoReport) {
  // Coordinates run close to where the compressors move them down, and are
  // moved in the middle of the input, with matches reaching across.
  const Bytes input = mixed_input(40000);
  const std::uint32_t high = kRebaseAt + kRebaseShift - 20000;
  for (Finder finder : {Finder{chain_reports}, Finder{tree_reports}}) {
    EXPECT_EQ(finder(input, high, 20000), finder(input, kFirstCoordinate, input.size()));
  }
}

}  // namespace
}  // namespace telo
