#include "payload/codec/match_trie.h"

#include <bit>
#include <cstring>

namespace telo {

namespace {

constexpr int kLeafBase = kWindowSize;        // leaves are positions 8192..16383
constexpr int kInternalNodes = kWindowSize;   // 1..8191 usable, 0 means none
constexpr int kRootCount = 256;
constexpr int kPositionMask = 0x7FFF;
// One past the last child-list head.
constexpr int kListEnd = kListHeads + kListHeadCount;

// Head of the child list that holds the child of q for byte b. Different
// (q, b) pairs share lists; the parent link tells their nodes apart, so the
// children of one node must never share a list: the byte's multiplier keeps
// k * 0x85EBCA77 (k = 1..255) at least 14.5 million from 0 modulo 2^32, more
// than the 87382 hash values one head covers. Which other pairs share a list
// changes nothing but speed.
inline int list_head(int q, int b) {
  const std::uint32_t hash = static_cast<std::uint32_t>(q) * 0x9E3779B1u +
                             static_cast<std::uint32_t>(b) * 0x85EBCA77u;
  static_assert(kListEnd - kListHeads == 3 << 14);
  return kListHeads + static_cast<int>((std::uint64_t{hash} * 3) >> 18);
}

inline std::uint64_t load_word(const std::uint8_t* at) {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Extends a match of `len` bytes between here and there up to `limit`, a
// word at a time while a whole word fits below the limit.
inline int extend_match(const std::uint8_t* here, const std::uint8_t* there, int len, int limit) {
  while (len + 8 <= limit) {
    const std::uint64_t differ = load_word(here + len) ^ load_word(there + len);
    if (differ != 0) {
      const int first = std::endian::native == std::endian::little ? std::countr_zero(differ)
                                                                     : std::countl_zero(differ);
      return len + first / 8;
    }
    len += 8;
  }
  while (len < limit && here[len] == there[len]) ++len;
  return len;
}

// The arrays as locals: stores through the byte arrays could otherwise alias
// the trie record and force every pointer to be reloaded after them.
struct Nodes {
  const std::uint8_t* text;
  TrieNode* node;
  std::uint16_t* parent;
  std::uint16_t* prev;
  std::uint16_t* next;
};

inline Nodes nodes_of(const MatchTrie& t) {
  return {t.text, t.node, t.parent, t.prev, t.next};
}

inline int child_of(Nodes t, int q, int b) {
  t.parent[0] = static_cast<std::uint16_t>(q);  // sentinel: the walk ends at node 0
  // Most lists hold the child in their first two entries: pick it without a
  // branch, whose outcome would be a coin toss, and walk only longer lists.
  const int first = t.next[list_head(q, b)];
  const int second = t.next[first];
  const bool at_first = t.parent[first] == q;
  const bool at_second = t.parent[second] == q;
  if (at_first | at_second) return at_first ? first : second;
  int r = t.next[second];
  while (t.parent[r] != q) r = t.next[r];
  return r;
}

inline void add_child(Nodes t, int q, int r, int b) {
  const int h = list_head(q, b);
  const int first = t.next[h];
  t.next[h] = static_cast<std::uint16_t>(r);
  t.next[r] = static_cast<std::uint16_t>(first);
  t.prev[first] = static_cast<std::uint16_t>(r);
  t.prev[r] = static_cast<std::uint16_t>(h);
  t.parent[r] = static_cast<std::uint16_t>(q);
  ++t.node[q].child_count;
}

inline void unlink(Nodes t, int r) {
  const int before = t.prev[r];
  const int after = t.next[r];
  t.next[before] = static_cast<std::uint16_t>(after);
  t.prev[after] = static_cast<std::uint16_t>(before);
}

// Node n takes r's place in r's child list (same parent, same byte).
inline void take_place(Nodes t, int r, int n) {
  const int before = t.prev[r];
  const int after = t.next[r];
  t.next[before] = static_cast<std::uint16_t>(n);
  t.prev[after] = static_cast<std::uint16_t>(n);
  t.prev[n] = static_cast<std::uint16_t>(before);
  t.next[n] = static_cast<std::uint16_t>(after);
}

// A stored position at or after p was stored before the last slide of text.
inline int current_position(int stored, int p) {
  return stored >= p ? stored - kWindowSize : stored;
}

// r and the new position p part after len bytes, r's string being the one
// at match_pos: a new internal node takes r's place with both as children.
// Returns the new head of the free list.
inline int split(Nodes t, int free_node, int r, int p, int match_pos, int len) {
  const int n = free_node;
  const int rest = t.next[n];
  t.node[n].child_count = 0;
  take_place(t, r, n);
  t.parent[n] = t.parent[r];
  t.node[n].level = static_cast<std::uint8_t>(len);
  t.node[n].position = static_cast<std::uint16_t>(p);
  add_child(t, n, r, t.text[match_pos + len]);
  add_child(t, n, p, t.text[p + len]);
  return rest;
}

// The new string matches at least len bytes of the string after the previous
// match (at match_pos): start below the deepest node that many bytes cover,
// and mark the path above it for a lazy position update. Returns that node's
// child.
inline int resume_below_previous_match(Nodes t, int p, int match_pos, int len, int& q) {
  int r = (match_pos + 1) | kLeafBase;
  while ((q = t.parent[r]) == 0) r = t.next[r];  // a replaced leaf points to its successor
  while (t.node[q].level >= len) {
    r = q;
    q = t.parent[q];
  }
  int u = q;
  while (t.node[u].position & kPendingPosition) {
    t.node[u].position = static_cast<std::uint16_t>(p);
    u = t.parent[u];
  }
  if (u < kRootBase) t.node[u].position = static_cast<std::uint16_t>(p | kPendingPosition);
  return r;
}

}  // namespace

void trie_reset(MatchTrie& t) {
  for (int b = 0; b < kRootCount; ++b) {
    t.node[kRootBase + b].level = 1;
    t.node[kRootBase + b].position = 0;
  }
  std::memset(t.parent + kLeafBase, 0, sizeof(std::uint16_t) * kWindowSize);
  t.free_node = 1;
  for (int n = 1; n < kInternalNodes - 1; ++n) t.next[n] = static_cast<std::uint16_t>(n + 1);
  t.next[kInternalNodes - 1] = 0;
  std::memset(t.next + kListHeads, 0, sizeof(std::uint16_t) * (kListEnd - kListHeads));
}

namespace {

// Both bodies go whole into trie_step, so that one call handles a position.
[[gnu::always_inline]] inline void insert_position(MatchTrie& trie) {
  const Nodes t = nodes_of(trie);
  const int p = trie.text_pos;
  const std::uint8_t* const here = t.text + p;
  int len = trie.match_len;
  int match_pos = trie.match_pos;
  int q;
  int r;
  if (len >= 4) {
    --len;
    r = resume_below_previous_match(t, p, match_pos, len, q);
  } else {
    q = kRootBase + here[0];
    r = child_of(t, q, here[1]);
    if (r == 0) {
      add_child(t, q, p, here[1]);
      trie.match_len = 1;
      return;
    }
    len = 2;
  }
  for (;;) {
    int limit;
    if (r >= kLeafBase) {
      limit = kMaxMatch;
      match_pos = r;
    } else {
      limit = t.node[r].level;
      match_pos = t.node[r].position & kPositionMask;
    }
    match_pos = current_position(match_pos, p);
    len = extend_match(here, t.text + match_pos, len, limit);
    if (len < limit) {
      trie.free_node = split(t, trie.free_node, r, p, match_pos, len);
      break;
    }
    if (len >= kMaxMatch) {
      // A match of the longest length: p replaces the leaf r, which points to p.
      take_place(t, r, p);
      t.parent[p] = static_cast<std::uint16_t>(q);
      t.parent[r] = 0;
      t.next[r] = static_cast<std::uint16_t>(p);
      break;
    }
    t.node[r].position = static_cast<std::uint16_t>(p);
    q = r;
    r = child_of(t, q, here[len]);
    if (r == 0) {
      add_child(t, q, p, here[len]);
      break;
    }
    ++len;
  }
  trie.match_len = len;
  trie.match_pos = match_pos;
}

[[gnu::always_inline]] inline void delete_position(MatchTrie& trie) {
  const Nodes t = nodes_of(trie);
  const int p = trie.text_pos;
  const int r = t.parent[p];
  if (r == 0) return;
  unlink(t, p);
  t.parent[p] = 0;
  if (r >= kRootBase || --t.node[r].child_count > 1) return;

  // r keeps one child and goes. Its position climbs to the pending ancestors.
  const int kept = current_position(t.node[r].position & kPositionMask, p);
  int s = kept;
  int q = t.parent[r];
  int u;
  while ((u = t.node[q].position) & kPendingPosition) {
    u = current_position(u & kPositionMask, p);
    if (u > s) s = u;
    t.node[q].position = static_cast<std::uint16_t>(s | kLeafBase);
    q = t.parent[q];
  }
  if (q < kRootBase) {
    u = current_position(u, p);
    if (u > s) s = u;
    t.node[q].position = static_cast<std::uint16_t>(s | kLeafBase | kPendingPosition);
  }

  const int child = child_of(t, r, t.text[kept + t.node[r].level]);
  unlink(t, child);
  take_place(t, r, child);
  t.parent[child] = t.parent[r];
  t.parent[r] = 0;
  t.next[r] = static_cast<std::uint16_t>(trie.free_node);
  trie.free_node = r;
}

}  // namespace

void trie_insert(MatchTrie& trie) { insert_position(trie); }

void trie_step(MatchTrie& trie) {
  delete_position(trie);
  insert_position(trie);
}

}  // namespace telo
