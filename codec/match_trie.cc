#include "codec/match_trie.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace telo {

namespace {

constexpr int kInternalNodes = kWindowSize;  // 1..8191 usable, 0 means none
constexpr int kRootCount = 256;
constexpr int kPositionMask = 0x7FFF;
constexpr int kBucketMask = kChildBuckets - 1;
// The slot "found" for a missing key: in the extra bucket, which stays empty.
constexpr int kNoSlot = kChildBuckets * kBucketSlots;

inline std::uint32_t key_of(int q, int b) {
  return static_cast<std::uint32_t>(q) << 8 | static_cast<std::uint32_t>(b);
}

inline int home_bucket(std::uint32_t key) {
  return static_cast<int>((key * 0x9E3779B1u) >> (32 - kChildBucketBits));
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
  ChildBucket* buckets;
};

inline Nodes nodes_of(const MatchTrie& t) { return {t.text, t.node, t.buckets}; }

// One bit per slot of the bucket that holds key (bit k for slot k).
inline unsigned slots_holding(const ChildBucket& bucket, std::uint32_t key) {
#if defined(__SSE2__)
  const __m128i keys = _mm_load_si128(reinterpret_cast<const __m128i*>(bucket.key));
  const __m128i equal = _mm_cmpeq_epi32(keys, _mm_set1_epi32(static_cast<int>(key)));
  return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(equal)));
#else
  unsigned found = 0;
  for (int k = 0; k < kBucketSlots; ++k) found |= static_cast<unsigned>(bucket.key[k] == key) << k;
  return found;
#endif
}

// The slot (bucket * 4 + index) holding the child of q for byte b, or
// kNoSlot. A key lies in its home bucket or, when that was full, in a later
// one, and every bucket it passed counts it.
inline int child_slot(Nodes t, int q, int b) {
  const std::uint32_t key = key_of(q, b);
  int h = home_bucket(key);
  for (;;) {
    const ChildBucket& bucket = t.buckets[h];
    const unsigned found = slots_holding(bucket, key);
    if (found != 0) return h * kBucketSlots + std::countr_zero(found);
    if (bucket.passing == 0) return kNoSlot;
    h = (h + 1) & kBucketMask;
  }
}

inline int child_in(Nodes t, int slot) {
  return t.buckets[slot / kBucketSlots].child[slot % kBucketSlots];
}

inline void set_child(Nodes t, int slot, int r) {
  t.buckets[slot / kBucketSlots].child[slot % kBucketSlots] = static_cast<std::uint16_t>(r);
}

// Hangs r under q for byte b; q has no child for b yet. A key lies in its
// home bucket or, when that is full, in the first later one with room.
inline void add_child(Nodes t, int q, int r, int b) {
  const std::uint32_t key = key_of(q, b);
  int h = home_bucket(key);
  unsigned empty;
  while ((empty = slots_holding(t.buckets[h], 0)) == 0) {
    ++t.buckets[h].passing;
    h = (h + 1) & kBucketMask;
  }
  const int k = std::countr_zero(empty);
  t.buckets[h].key[k] = key;
  t.buckets[h].child[k] = static_cast<std::uint16_t>(r);
  t.node[r].parent = static_cast<std::uint16_t>(q);
  t.node[r].slot = static_cast<std::uint16_t>(h * kBucketSlots + k);
  ++t.node[q].child_count;
}

// Empties a slot; the full buckets its key passed on the way from its home
// bucket stop counting it.
inline void remove_slot(Nodes t, int slot) {
  const int h = slot / kBucketSlots;
  ChildBucket& bucket = t.buckets[h];
  const std::uint32_t key = bucket.key[slot % kBucketSlots];
  bucket.key[slot % kBucketSlots] = 0;
  bucket.child[slot % kBucketSlots] = 0;
  for (int g = home_bucket(key); g != h; g = (g + 1) & kBucketMask) --t.buckets[g].passing;
}

// A stored position at or after p was stored before the last slide of text.
inline int current_position(int stored, int p) {
  return stored >= p ? stored - kWindowSize : stored;
}

// r and the new position p part after len bytes, r's string being the one
// at match_pos: a new internal node takes r's place (and slot) with both as
// children. Returns the new head of the free list.
inline int split(Nodes t, int free_node, int r, int p, int match_pos, int len) {
  const int n = free_node;
  const int rest = t.node[n].position;
  const int slot = t.node[r].slot;
  set_child(t, slot, n);
  t.node[n].parent = t.node[r].parent;
  t.node[n].slot = static_cast<std::uint16_t>(slot);
  t.node[n].child_count = 0;
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
  while ((q = t.node[r].parent) == 0) r = t.node[r].position;  // a replaced leaf names its successor
  while (t.node[q].level >= len) {
    r = q;
    q = t.node[q].parent;
  }
  int u = q;
  while (t.node[u].position & kPendingPosition) {
    t.node[u].position = static_cast<std::uint16_t>(p);
    u = t.node[u].parent;
  }
  if (u < kLeafBase) t.node[u].position = static_cast<std::uint16_t>(p | kPendingPosition);
  return r;
}

}  // namespace

void trie_reset(MatchTrie& t) {
  for (int b = 0; b < kRootCount; ++b) {
    t.node[kRootBase + b].level = 1;
    t.node[kRootBase + b].position = 0;
  }
  for (int leaf = kLeafBase; leaf < kRootBase; ++leaf) t.node[leaf].parent = 0;
  t.free_node = 1;
  for (int n = 1; n < kInternalNodes - 1; ++n) t.node[n].position = static_cast<std::uint16_t>(n + 1);
  t.node[kInternalNodes - 1].position = 0;
  std::memset(t.buckets, 0, sizeof(ChildBucket) * (kChildBuckets + 1));
}

namespace {

// What the steps of one call carry from position to position, kept in
// locals (registers) rather than in the trie record.
struct Cursor {
  int p;          // text_pos
  int len;        // match_len
  int match_pos;
  int free_node;
};

// Both bodies go whole into the step loop, so that one call handles many
// positions.
[[gnu::always_inline]] inline void insert_position(Nodes t, Cursor& c) {
  const int p = c.p;
  const std::uint8_t* const here = t.text + p;
  int len = c.len;
  int match_pos = c.match_pos;
  int q;
  int r;
  if (len >= 4) {
    --len;
    r = resume_below_previous_match(t, p, match_pos, len, q);
  } else {
    q = kRootBase + here[0];
    r = child_in(t, child_slot(t, q, here[1]));
    if (r == 0) {
      add_child(t, q, p, here[1]);
      c.len = 1;
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
      c.free_node = split(t, c.free_node, r, p, match_pos, len);
      break;
    }
    if (len >= kMaxMatch) {
      // A match of the longest length: p replaces the leaf r, which names p.
      set_child(t, t.node[r].slot, p);
      t.node[p].slot = t.node[r].slot;
      t.node[p].parent = static_cast<std::uint16_t>(q);
      t.node[r].parent = 0;
      t.node[r].position = static_cast<std::uint16_t>(p);
      break;
    }
    t.node[r].position = static_cast<std::uint16_t>(p);
    q = r;
    r = child_in(t, child_slot(t, q, here[len]));
    if (r == 0) {
      add_child(t, q, p, here[len]);
      break;
    }
    ++len;
  }
  c.len = len;
  c.match_pos = match_pos;
}

[[gnu::always_inline]] inline void delete_position(Nodes t, Cursor& c) {
  const int p = c.p;
  const int r = t.node[p].parent;
  if (r == 0) return;
  remove_slot(t, t.node[p].slot);
  t.node[p].parent = 0;
  if (r >= kRootBase || --t.node[r].child_count > 1) return;

  // r keeps one child and goes. Its position climbs to the pending ancestors.
  const int kept = current_position(t.node[r].position & kPositionMask, p);
  int s = kept;
  int q = t.node[r].parent;
  int u;
  while ((u = t.node[q].position) & kPendingPosition) {
    u = current_position(u & kPositionMask, p);
    if (u > s) s = u;
    t.node[q].position = static_cast<std::uint16_t>(s | kLeafBase);
    q = t.node[q].parent;
  }
  if (q < kLeafBase) {
    u = current_position(u, p);
    if (u > s) s = u;
    t.node[q].position = static_cast<std::uint16_t>(s | kLeafBase | kPendingPosition);
  }

  // The child takes r's slot and r's place under r's parent.
  const int child_at = child_slot(t, r, t.text[kept + t.node[r].level]);
  const int child = child_in(t, child_at);
  remove_slot(t, child_at);
  set_child(t, t.node[r].slot, child);
  t.node[child].parent = t.node[r].parent;
  t.node[child].slot = t.node[r].slot;
  t.node[r].parent = 0;
  t.node[r].position = static_cast<std::uint16_t>(c.free_node);
  c.free_node = r;
}

// The next position's deletion and its search from the root start with
// loads that depend on nothing done here: issue them now, so that their
// cache misses overlap this position's work.
[[gnu::always_inline]] inline void prefetch_next(Nodes t, int p) {
  const TrieNode leaf = t.node[p + 1];
  __builtin_prefetch(&t.buckets[leaf.slot / kBucketSlots]);
  __builtin_prefetch(&t.node[leaf.parent]);
  __builtin_prefetch(&t.buckets[home_bucket(key_of(kRootBase + t.text[p + 1], t.text[p + 2]))]);
}

Cursor cursor_of(const MatchTrie& trie) {
  return {trie.text_pos, trie.match_len, trie.match_pos, trie.free_node};
}

void store_cursor(MatchTrie& trie, const Cursor& c) {
  trie.text_pos = c.p;
  trie.match_len = c.len;
  trie.match_pos = c.match_pos;
  trie.free_node = c.free_node;
}

}  // namespace

void trie_insert(MatchTrie& trie) {
  Cursor c = cursor_of(trie);
  insert_position(nodes_of(trie), c);
  store_cursor(trie, c);
}

void trie_steps(MatchTrie& trie, int count) {
  const Nodes t = nodes_of(trie);
  Cursor c = cursor_of(trie);
  for (int k = 0; k < count; ++k) {
    ++c.p;
    prefetch_next(t, c.p);
    delete_position(t, c);
    insert_position(t, c);
  }
  store_cursor(trie, c);
}

}  // namespace telo
