#pragma once

// Match finder of the compressor: a trie of every string that starts in the
// last 8192 positions of `text`. Each new position is inserted while the
// longest earlier match is read off the path it takes; the position 8192
// bytes back is deleted first. Node positions climb upwards lazily.

#include <cstdint>

#include "codec/codec.h"

namespace telo {

// Node numbers: 0 none, 1..8191 internal nodes, a leaf is the text position
// (8192..16383) its string starts at, and 16384 + b the root of first byte b.
inline constexpr int kLeafBase = kWindowSize;
inline constexpr int kRootBase = 2 * kWindowSize;
inline constexpr int kNodeCount = kRootBase + 256;
inline constexpr int kMaxMatch = 256;
inline constexpr int kLookahead = 256;
inline constexpr int kTextBytes = 2 * kWindowSize + kLookahead;  // 16640
inline constexpr std::uint16_t kPendingPosition = 0x8000;
// Children are found in one hash table keyed by parent and byte, in buckets
// of four slots that share a cache line. At most 16383 nodes have a parent,
// so 8192 buckets keep it under half full and few keys leave their bucket.
inline constexpr int kChildBucketBits = 13;
inline constexpr int kChildBuckets = 1 << kChildBucketBits;
inline constexpr int kBucketSlots = 4;

// Everything a visit to a node reads, in one 8-byte record.
struct TrieNode {
  std::uint16_t parent;
  // Internal node: a recent position through it (0x8000 = update pending).
  // Leaf replaced by a later equal string: that string's position.
  // Free internal node: the next free one.
  std::uint16_t position;
  std::uint8_t level;         // string length of an internal node or root
  std::uint8_t child_count;   // children of an internal node
  std::uint16_t slot;         // where the child table holds it, while it has a parent
};

struct alignas(32) ChildBucket {
  std::uint32_t key[kBucketSlots];    // parent << 8 | byte; 0 marks an empty slot
  std::uint16_t child[kBucketSlots];
  std::uint16_t passing;  // keys placed past this bucket, which was full, from a bucket before it
  std::uint16_t unused[3];
};
static_assert(sizeof(ChildBucket) == 32);

struct MatchTrie {
  std::uint8_t* text = nullptr;  // history, coding area, lookahead
  TrieNode* node = nullptr;      // kNodeCount records
  ChildBucket* buckets = nullptr;  // kChildBuckets + 1 (the last one stays empty), 32-byte aligned
  int text_pos = 0;    // position being coded, 8192..16383
  int match_pos = 0;   // start of the longest match of text_pos (may be below 8192)
  int match_len = 0;
  int free_node = 0;   // head of the free list of internal nodes
  int remainder = 0;   // input bytes in text from text_pos on
};

// Empties the trie: roots of level 1, no leaves, all internal nodes free.
void trie_reset(MatchTrie& trie);

// Inserts text_pos and leaves its longest match in match_len / match_pos.
void trie_insert(MatchTrie& trie);

// Takes `count` steps, text_pos + count staying below 16384. A step moves
// text_pos on by one, removes the leaf of text_pos (the string that started
// 8192 positions ago), then inserts text_pos as trie_insert does.
void trie_steps(MatchTrie& trie, int count);

}  // namespace telo
