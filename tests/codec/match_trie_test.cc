#include "codec/match_trie.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/codec/sample_inputs.h"

namespace telo {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The match finder written plainly: one array per field, 12528 child lists
// chosen as q + 16 * b, walked until a node whose parent is q. Slow, but
// each line reads as the algorithm does; the fast trie must report the same
// match at every position.
struct PlainTrie {
  static constexpr int kRoots = 8192;       // root of byte b: 8192 + b
  static constexpr int kLeaves = 8192;      // leaf of position p: p (8192..16383)
  static constexpr int kHeads = 16384;      // next[] index of the first list head
  static constexpr int kPositionMask = 0x7FFF;

  const std::uint8_t* text = nullptr;
  std::vector<std::uint8_t> level = std::vector<std::uint8_t>(8448);
  std::vector<std::uint8_t> child_count = std::vector<std::uint8_t>(8448);
  std::vector<std::uint16_t> position = std::vector<std::uint16_t>(8448);
  std::vector<std::uint16_t> parent = std::vector<std::uint16_t>(16384);
  std::vector<std::uint16_t> prev = std::vector<std::uint16_t>(16384);
  std::vector<std::uint16_t> next = std::vector<std::uint16_t>(28912);
  int text_pos = 0;
  int match_pos = 0;
  int match_len = 0;
  int free_node = 0;

  void reset() {
    for (int b = 0; b < 256; ++b) {
      level[kRoots + b] = 1;
      position[kRoots + b] = 0;
    }
    std::fill(parent.begin() + kLeaves, parent.end(), 0);
    free_node = 1;
    for (int n = 1; n < 8191; ++n) next[n] = static_cast<std::uint16_t>(n + 1);
    next[8191] = 0;
    std::fill(next.begin() + kHeads, next.end(), 0);
  }

  int child_of(int q, int b) {
    parent[0] = static_cast<std::uint16_t>(q);
    int r = next[q + 16 * b + kHeads];
    while (parent[r] != q) r = next[r];
    return r;
  }

  void add_child(int q, int r, int b) {
    const int h = q + 16 * b + kHeads;
    const int first = next[h];
    next[h] = static_cast<std::uint16_t>(r);
    next[r] = static_cast<std::uint16_t>(first);
    prev[first] = static_cast<std::uint16_t>(r);
    prev[r] = static_cast<std::uint16_t>(h);
    parent[r] = static_cast<std::uint16_t>(q);
    ++child_count[q];
  }

  void unlink(int r) {
    next[prev[r]] = next[r];
    prev[next[r]] = prev[r];
  }

  void take_place(int r, int n) {
    next[prev[r]] = static_cast<std::uint16_t>(n);
    prev[next[r]] = static_cast<std::uint16_t>(n);
    prev[n] = prev[r];
    next[n] = next[r];
  }

  static int current(int stored, int p) { return stored >= p ? stored - 8192 : stored; }

  void insert() {
    const int p = text_pos;
    int q;
    int r;
    if (match_len >= 4) {
      --match_len;
      r = (match_pos + 1) | kLeaves;
      while ((q = parent[r]) == 0) r = next[r];
      while (level[q] >= match_len) {
        r = q;
        q = parent[q];
      }
      int u = q;
      while (position[u] & 0x8000) {
        position[u] = static_cast<std::uint16_t>(p);
        u = parent[u];
      }
      if (u < kRoots) position[u] = static_cast<std::uint16_t>(p | 0x8000);
    } else {
      q = kRoots + text[p];
      r = child_of(q, text[p + 1]);
      if (r == 0) {
        add_child(q, p, text[p + 1]);
        match_len = 1;
        return;
      }
      match_len = 2;
    }
    for (;;) {
      const int limit = r >= kLeaves ? 256 : level[r];
      match_pos = current(r >= kLeaves ? r : position[r] & kPositionMask, p);
      while (match_len < limit && text[p + match_len] == text[match_pos + match_len]) ++match_len;
      if (match_len < limit) {
        const int n = free_node;
        free_node = next[n];
        child_count[n] = 0;
        take_place(r, n);
        parent[n] = parent[r];
        level[n] = static_cast<std::uint8_t>(match_len);
        position[n] = static_cast<std::uint16_t>(p);
        add_child(n, r, text[match_pos + match_len]);
        add_child(n, p, text[p + match_len]);
        return;
      }
      if (match_len > 255) break;
      position[r] = static_cast<std::uint16_t>(p);
      q = r;
      r = child_of(q, text[p + match_len]);
      if (r == 0) {
        add_child(q, p, text[p + match_len]);
        return;
      }
      ++match_len;
    }
    take_place(r, p);
    parent[p] = static_cast<std::uint16_t>(q);
    parent[r] = 0;
    next[r] = static_cast<std::uint16_t>(p);
  }

  void remove() {
    const int p = text_pos;
    const int r = parent[p];
    if (r == 0) return;
    unlink(p);
    parent[p] = 0;
    if (r >= kRoots || --child_count[r] > 1) return;
    const int kept = current(position[r] & kPositionMask, p);
    int s = kept;
    int q = parent[r];
    while (position[q] & 0x8000) {
      s = std::max(s, current(position[q] & kPositionMask, p));
      position[q] = static_cast<std::uint16_t>(s | 8192);
      q = parent[q];
    }
    if (q < kRoots) {
      s = std::max(s, current(position[q], p));
      position[q] = static_cast<std::uint16_t>(s | 8192 | 0x8000);
    }
    const int child = child_of(r, text[kept + level[r]]);
    unlink(child);
    take_place(r, child);
    parent[child] = parent[r];
    parent[r] = 0;
    next[r] = static_cast<std::uint16_t>(free_node);
    free_node = r;
  }
};

// Both tries over one text, fed and slid as the compressor does, compared
// after every position.
struct TwoTries {
  Bytes text = Bytes(kTextBytes);
  std::vector<TrieNode> nodes = std::vector<TrieNode>(kNodeCount);
  std::vector<ChildBucket> buckets = std::vector<ChildBucket>(kChildBuckets + 1);
  MatchTrie fast;
  PlainTrie plain;
  const Bytes& input;
  std::size_t read = 0;

  explicit TwoTries(const Bytes& in) : input(in) {
    fast.text = text.data();
    fast.node = nodes.data();
    fast.buckets = buckets.data();
    plain.text = text.data();
  }

  void fill(int at, int want) {
    const std::size_t n = std::min<std::size_t>(want, input.size() - read);
    std::memcpy(text.data() + at, input.data() + read, n);
    read += n;
  }

  // Returns the number of positions at which the two disagree (stops at the first).
  std::size_t run() {
    trie_reset(fast);
    plain.reset();
    fill(8192, 8448);
    fast.text_pos = plain.text_pos = 8192;
    fast.match_len = plain.match_len = 0;
    fast.match_pos = plain.match_pos = 0;
    trie_insert(fast);
    plain.insert();
    for (std::size_t at = 1; at < input.size(); ++at) {
      if (!same(at)) return at;
      if (fast.text_pos + 1 == 16384) {
        std::memmove(text.data(), text.data() + 8192, 8448);
        fill(8448, 8192);
        fast.text_pos = 8191;
      }
      trie_steps(fast, 1);
      plain.text_pos = fast.text_pos;
      plain.remove();
      plain.insert();
    }
    return same(input.size()) ? 0 : input.size();
  }

  bool same(std::size_t at) {
    EXPECT_EQ(fast.text_pos, plain.text_pos) << "at input byte " << at;
    EXPECT_EQ(fast.match_len, plain.match_len) << "at input byte " << at;
    EXPECT_EQ(fast.match_pos, plain.match_pos) << "at input byte " << at;
    return fast.text_pos == plain.text_pos && fast.match_len == plain.match_len &&
           fast.match_pos == plain.match_pos;
  }
};

Bytes periodic(std::size_t n, std::size_t period, unsigned variant, bool mutate) {
  const Bytes unit = testing::random_bytes(period, variant);
  Bytes v(n);
  for (std::size_t k = 0; k < n; ++k) v[k] = unit[k % period];
  std::mt19937 rng(variant);
  if (mutate) {
    for (std::size_t k = 0; k < n; k += 1 + rng() % 500) v[k] = static_cast<std::uint8_t>(rng());
  }
  return v;
}

Bytes small_alphabet(std::size_t n, unsigned letters, unsigned variant) {
  std::mt19937 rng(variant);
  Bytes v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>('a' + rng() % letters);
  return v;
}

Bytes text_like(std::size_t n, unsigned variant) {
  static const char* const vocabulary[] = {"the ", "trie ", "node ", "of ", "a ", "match ",
                                           "split ", "\n", "position ", "leaf "};
  return testing::words_from(vocabulary, n, variant);
}

// Short periods give matches of the longest length (leaves replaced by their
// successors); periods past 256 and 8192 give long, far and window-edge
// matches; small alphabets give deep tries and many splits and removals;
// random bytes give short lists under the roots. Every input crosses
// several slides of the text.
TEST(MatchTrieTest, ReportsTheSameMatchesAsThePlainTrieAtEveryPosition) {
  struct Case {
    std::string name;
    Bytes input;
  };
  const Case cases[] = {
      {"run of one byte", Bytes(40000, 'x')},
      {"period 3", periodic(40000, 3, 1, false)},
      {"period 255, mutated", periodic(60000, 255, 2, true)},
      {"period 257", periodic(40000, 257, 3, false)},
      {"period 1000, mutated", periodic(60000, 1000, 4, true)},
      {"period 8191", periodic(40000, 8191, 5, false)},
      {"period 8192, mutated", periodic(60000, 8192, 6, true)},
      {"period 9000", periodic(40000, 9000, 7, false)},
      {"two letters", small_alphabet(60000, 2, 8)},
      {"four letters", small_alphabet(60000, 4, 9)},
      {"text", text_like(80000, 10)},
      {"random", testing::random_bytes(40000, 11)},
  };
  for (const Case& c : cases) {
    TwoTries tries(c.input);
    EXPECT_EQ(tries.run(), 0u) << c.name;
  }
}

}  // namespace
}  // namespace telo
