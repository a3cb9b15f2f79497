// The fast level: hash chains with a bounded walk, lazy matching one
// position ahead, and blocks that end where the mix of symbols changes.

#include <algorithm>
#include <cstring>

#include "codec/block_coder.h"
#include "codec/block_split.h"
#include "codec/codec_memory.h"
#include "codec/hash_chains.h"
#include "codec/level_compressors.h"
#include "codec/symbol_records.h"

namespace telo {

namespace {

constexpr int kChainDepth = 16;      // earlier positions a search visits
constexpr int kLazyDepth = 8;        // ... when it only checks whether the next position does better
constexpr int kNiceLength = 32;      // a match this long is taken without looking further
constexpr int kFarThree = 2048;      // a 3-byte match farther back costs about what its literals do

struct FastStore {
  std::uint32_t next_coordinate;  // see coordinates_start_afresh
  HashChains chains;
  SymbolRecord records[kMaxBlockSymbols];
};

struct FastParse {
  Decompressor& c;
  BitOutput& out;
  FastStore& store;
  const std::uint8_t* input = nullptr;
  std::size_t size = 0;
  std::uint32_t first = kFirstCoordinate;  // coordinate of the input's first byte
  std::size_t origin = 0;                   // input index of coordinate `first`
  BlockSplitStats stats;
  int count = 0;           // records of the open block
};

std::uint32_t coordinate(const FastParse& p, std::size_t pos) {
  return static_cast<std::uint32_t>(pos - p.origin) + p.first;
}

// Writes the first `n` records as a block and keeps the rest for the next.
void flush_records(FastParse& p, int n) {
  SymbolRecord* records = p.store.records;
  if (n != p.count) count_records(p.c, records, n);
  write_record_block(p.c, p.out, records, n);
  std::memmove(records, records + n, sizeof(SymbolRecord) * static_cast<std::size_t>(p.count - n));
  p.count -= n;
  count_records(p.c, records, p.count);
}

void add_record(FastParse& p, SymbolRecord r) {
  p.store.records[p.count++] = r;
  count_record(p.c, r);
  if (p.stats.recent_total == kSplitCheckEvery && split_here(p.stats)) {
    // The change showed in the newest symbols: they open the next block.
    flush_records(p, p.count - kSplitCheckEvery);
  }
  if (p.count == kMaxBlockSymbols) {
    flush_records(p, p.count);
    split_restart(p.stats);
  }
}

void add_literal(FastParse& p, std::size_t pos) {
  split_note_literal(p.stats, p.input[pos]);
  add_record(p, literal_record(p.input[pos]));
}

void add_match(FastParse& p, const ChainMatch& m) {
  split_note_match(p.stats, m.length);
  add_record(p, match_record(m.length, m.distance));
}

int limit_at(const FastParse& p, std::size_t pos) {
  return static_cast<int>(std::min<std::size_t>(kMaxMatchLength, p.size - pos));
}

// Searches at pos (3 or more bytes left) and files it.
ChainMatch search_and_insert(FastParse& p, std::size_t pos, int longer_than, int depth) {
  const std::uint8_t* here = p.input + pos;
  const std::uint32_t cur = coordinate(p, pos);
  const ChainMatch m = hash_chains_search(p.store.chains, here, cur, limit_at(p, pos), longer_than,
                                          depth, kNiceLength);
  hash_chains_insert(p.store.chains, here, cur);
  return m;
}

// Files the positions a match passes over, from `from` up to `to`.
void insert_range(FastParse& p, std::size_t from, std::size_t to) {
  if (p.size < kMinMatch) return;
  to = std::min(to, p.size - kMinMatch + 1);
  for (std::size_t pos = from; pos < to; ++pos) {
    hash_chains_insert(p.store.chains, p.input + pos, coordinate(p, pos));
  }
}

void rebase_if_due(FastParse& p, std::size_t pos) {
  if (coordinate(p, pos) < kRebaseAt) return;
  p.origin += kRebaseShift;
  hash_chains_rebase(p.store.chains, kRebaseShift);
}

// Lazy matching: a match is taken unless the next position has a longer one,
// in which case this byte goes out as a literal and the same question is
// asked one position on. Returns the position after what was added.
std::size_t parse_step(FastParse& p, std::size_t pos) {
  if (limit_at(p, pos) < kMinMatch) {
    add_literal(p, pos);
    return pos + 1;
  }
  ChainMatch m = search_and_insert(p, pos, kMinMatch - 1, kChainDepth);
  if (m.length == kMinMatch && m.distance > kFarThree) m.length = 0;
  if (m.length == 0) {
    add_literal(p, pos);
    return pos + 1;
  }
  bool next_filed = false;
  while (m.length < kNiceLength && limit_at(p, pos + 1) >= kMinMatch) {
    const ChainMatch later = search_and_insert(p, pos + 1, m.length, kLazyDepth);
    next_filed = true;
    if (later.length == 0) break;
    add_literal(p, pos);
    ++pos;
    m = later;
    next_filed = false;
  }
  add_match(p, m);
  insert_range(p, pos + (next_filed ? 2 : 1), pos + static_cast<std::size_t>(m.length));
  return pos + static_cast<std::size_t>(m.length);
}

}  // namespace

int fast_compress(Decompressor& c, std::span<const std::uint8_t> input, BitOutput& out) {
  FastStore* store = work_store<FastStore>(c.fast_store);
  if (store == nullptr) return CODEC_ERR_NO_MEMORY;
  if (coordinates_start_afresh(store->next_coordinate)) hash_chains_reset(store->chains);
  block_clear_counts(c);
  FastParse p{c, out, *store, input.data(), input.size(), store->next_coordinate, 0, {}, 0};
  std::size_t pos = 0;
  while (pos < p.size && !out.full) {
    rebase_if_due(p, pos);
    pos = parse_step(p, pos);
  }
  if (p.count > 0 && !out.full) flush_records(p, p.count);
  store->next_coordinate = coordinates_after(coordinate(p, p.size));
  return 0;
}

}  // namespace telo
