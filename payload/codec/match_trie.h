#pragma once

// Match finder of the compressor: a trie of every string that starts in the
// last 8192 positions of `text`. Each new position is inserted while the
// longest earlier match is read off the path it takes; the position 8192
// bytes back is deleted first. Node positions climb upwards lazily.

#include <cstdint>

#include "payload/codec/codec.h"

namespace telo {

// Node numbers: 0 none, 1..8191 internal nodes, 8192 + b the root of first
// byte b, and a leaf is the text position (8192..16383) its string starts at.
inline constexpr int kRootBase = 8192;
inline constexpr int kMaxMatch = 256;
inline constexpr int kLookahead = 256;
inline constexpr int kTextBytes = 2 * kWindowSize + kLookahead;  // 16640
inline constexpr int kListHeads = 16384;  // next[] index of the first child-list head
// As many child-list heads as 16-bit link numbers allow: short lists make
// the child lookups predictable, which outweighs the larger array.
inline constexpr int kListHeadCount = 65536 - kListHeads;  // 3 << 14: a hash scales to it with a shift
inline constexpr int kLinkCount = kListHeads + kListHeadCount;  // entries of `next`
inline constexpr std::uint16_t kPendingPosition = 0x8000;

// What an internal node or root knows besides its links, kept together
// because a visit reads most of it.
struct TrieNode {
  std::uint16_t position;     // a recent position through the node
  std::uint8_t level;         // string length
  std::uint8_t child_count;   // children of an internal node
};

struct MatchTrie {
  std::uint8_t* text = nullptr;          // history, coding area, lookahead
  TrieNode* node = nullptr;              // internal nodes and roots, kTrieNodes of them
  std::uint16_t* parent = nullptr;
  std::uint16_t* prev = nullptr;
  std::uint16_t* next = nullptr;         // list links, free list, child-list heads (kLinkCount)
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

// Removes the leaf of text_pos (the string that started 8192 positions ago),
// then inserts text_pos as trie_insert does.
void trie_step(MatchTrie& trie);

}  // namespace telo
