// The compressor: LZ77 with lazy matching over the trie, into blocks of
// Huffman-coded literals and matches. It writes exactly the stream the
// decompressor reads, and the same stream every time for the same input.

#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

#include "codec/bit_output.h"
#include "codec/block_coder.h"
#include "codec/codec.h"
#include "codec/codec_memory.h"
#include "codec/context.h"
#include "codec/match_trie.h"

namespace telo {

namespace {

constexpr int kMinMatch = 3;
constexpr int kFirstRead = kWindowSize + kLookahead;  // coding area and lookahead
constexpr int kCodingEnd = 2 * kWindowSize;          // text_pos slides back from here
constexpr int kClosingZeroBits = 7;                  // push out the last partial byte

// Allocates the text (and the window, for a context not made by
// decompressor_create) zero-filled. On failure frees what this call allocated.
bool ensure_work_arrays(Decompressor& c) {
  void* made[2] = {};
  int made_count = 0;
  auto allocate = [&](auto*& array, std::size_t count) {
    if (array != nullptr) return true;
    using Entry = std::remove_reference_t<decltype(*array)>;
    array = static_cast<Entry*>(codec_calloc(count, sizeof(Entry)));
    if (array == nullptr) return false;
    made[made_count++] = array;
    return true;
  };
  auto release = [&](auto*& array) {
    for (int k = 0; k < made_count; ++k) {
      if (made[k] != array) continue;
      std::free(array);
      array = nullptr;
    }
  };
  const bool had_window = c.window != nullptr;
  const bool ok = allocate(c.text, kTextSize) && allocate(c.window, kWindowSize);
  if (!ok) {
    release(c.text);
    release(c.window);
    return false;
  }
  if (!had_window) c.window_size = kWindowSize;
  return true;
}

// Copies up to `want` input bytes to `to`; returns how many.
int read_input(ByteWindow& source, std::uint8_t* to, int want) {
  const std::ptrdiff_t left = source.end - source.pos;
  const int n = left < want ? static_cast<int>(left) : want;
  if (n > 0) {
    std::memcpy(to, source.pos, static_cast<std::size_t>(n));
    source.pos += n;
    source.consumed += static_cast<std::uint32_t>(n);
  }
  return n;
}

// The trie's nodes and child table, laid out for speed rather than as the
// context's arrays: one record per node and a hash table of children.
// Allocated once per context, like the work arrays, and reset at the start
// of every stream; the extra bytes let the buckets start on a 32-byte
// boundary, so that none straddles two cache lines.
struct TrieStore {
  ChildBucket buckets[kChildBuckets + 1];
  TrieNode nodes[kNodeCount];
};
constexpr std::size_t kTrieStoreBytes = sizeof(TrieStore) + alignof(ChildBucket);

MatchTrie trie_of(Decompressor& c, void* raw_store) {
  constexpr std::uintptr_t kAlign = alignof(ChildBucket);
  const std::uintptr_t at = (reinterpret_cast<std::uintptr_t>(raw_store) + kAlign - 1) & ~(kAlign - 1);
  TrieStore& store = *reinterpret_cast<TrieStore*>(at);
  MatchTrie t;
  t.text = c.text;
  t.node = store.nodes;
  t.buckets = store.buckets;
  return t;
}

// Moves `count` positions on: slides the text whenever the coding area is
// used up; each step drops the string 8192 positions back and inserts the
// new one.
void trie_advance_sliding(MatchTrie& t, ByteWindow& source, int count) {
  t.remainder -= count;
  while (count > 0) {
    if (t.text_pos + 1 == kCodingEnd) {
      std::memmove(t.text, t.text + kWindowSize, kWindowSize + kLookahead);
      t.remainder += read_input(source, t.text + kWindowSize + kLookahead, kWindowSize);
      t.text_pos = kWindowSize - 1;
    }
    const int before_slide = kCodingEnd - 1 - t.text_pos;
    const int steps = count < before_slide ? count : before_slide;
    trie_steps(t, steps);
    count -= steps;
  }
}

inline void trie_advance(MatchTrie& t, ByteWindow& source, int count) {
  if (t.text_pos + count >= kCodingEnd) {
    trie_advance_sliding(t, source, count);
    return;
  }
  t.remainder -= count;
  trie_steps(t, count);
}

void start_stream(Decompressor& c, MatchTrie& t, ByteWindow& source) {
  trie_reset(t);
  block_reset(c);
  const int n = read_input(source, t.text + kWindowSize, kFirstRead);
  // Past the input the trie still sees bytes; make them the same on every call.
  std::memset(t.text + kWindowSize + n, 0, static_cast<std::size_t>(kFirstRead - n));
  t.remainder = n;
  t.match_len = 0;
  t.match_pos = 0;
  t.text_pos = kWindowSize;
  trie_insert(t);
}

// Lazy matching: a match found at one position is taken only if the next
// position does not find a longer one.
void code_input(Decompressor& c, MatchTrie& t, BitOutput& out, ByteWindow& source) {
  while (t.remainder > 0 && !out.full) {
    const int last_len = t.match_len;
    const int last_pos = t.match_pos;
    trie_advance(t, source, 1);
    if (t.match_len > t.remainder) t.match_len = t.remainder;
    if (t.match_len > last_len || last_len < kMinMatch) {
      block_add(c, out, t.text[t.text_pos - 1], 0);
      continue;
    }
    const int offset = (t.text_pos - last_pos - 2) & (kWindowSize - 1);
    block_add(c, out, last_len + 256 - kMinMatch, offset);
    trie_advance(t, source, last_len - 1);
    if (t.match_len > t.remainder) t.match_len = t.remainder;
  }
}

void save_state(Decompressor& c, const MatchTrie& t, const BitOutput& out) {
  c.text_pos = static_cast<std::int16_t>(t.text_pos);
  c.match_pos = static_cast<std::int16_t>(t.match_pos);
  c.match_len = t.match_len;
  c.free_node = static_cast<std::int16_t>(t.free_node);
  c.remainder = t.remainder;
  c.output_full = out.full ? 1 : 0;
  c.out_free_bits = 8 - (out.count & 7);
  c.out_byte = static_cast<std::uint32_t>(out.pending << (8 - (out.count & 7))) & 0xFF;
}

}  // namespace

int codec_compress(Decompressor* context, ByteWindow* source, ByteWindow* destination) {
  if (context == nullptr || source == nullptr || destination == nullptr) return CODEC_ERR_MISUSE;
  Decompressor& c = *context;
  if (c.error_code != 0) return c.error_code;
  if (!ensure_work_arrays(c)) return CODEC_ERR_NO_MEMORY;

  if (c.trie_store == nullptr) c.trie_store = codec_calloc(1, kTrieStoreBytes);
  if (c.trie_store == nullptr) return CODEC_ERR_NO_MEMORY;
  MatchTrie t = trie_of(c, c.trie_store);
  BitOutput out;
  std::uint8_t* const out_start = destination->pos;
  bit_output_start(out, destination->pos, destination->end);

  start_stream(c, t, *source);
  code_input(c, t, out, *source);
  if (!out.full) {
    block_send(c, out);
    bits_put(out, kClosingZeroBits, 0);
    bits_flush(out);
  }

  destination->pos = out.pos;
  destination->consumed += static_cast<std::uint32_t>(out.pos - out_start);
  save_state(c, t, out);
  return out.full ? 0 : 1;
}

}  // namespace telo
