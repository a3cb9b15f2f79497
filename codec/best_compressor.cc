// The best level. The input goes in segments of up to 256 KiB: the binary
// trees find every segment position's matches once, into a cache; the
// segment is parsed near-optimally, first with guessed prices and then with
// the code lengths of the parse before; the result is cut into blocks where
// codes of their own pay for their headers; and each block is parsed again
// with the prices of its own codes, keeping whichever parse costs less.

#include <algorithm>
#include <cstring>

#include "codec/binary_trees.h"
#include "codec/block_coder.h"
#include "codec/codec_memory.h"
#include "codec/level_compressors.h"
#include "codec/near_optimal.h"
#include "codec/symbol_records.h"

namespace telo {

namespace {

constexpr int kSegmentBytes = 1 << 18;
constexpr int kCacheEntries = 4 * kSegmentBytes;  // a segment ends early when they run out
constexpr int kTreeDepth = 48;                    // nodes a search visits
constexpr int kNiceLength = 160;                  // a match this long is taken as it is
constexpr int kSegmentPasses = 2;                 // parses with prices from the one before
constexpr int kBlockPasses = 2;                   // ... and then per block with its own codes
constexpr int kSplitGrid = 4096;                  // records between the places a block may end
constexpr int kMaxGridSteps = kMaxBlockSymbols / kSplitGrid;
constexpr int kGridPoints = kSegmentBytes / kSplitGrid + 2;
constexpr int kCountKinds = kSymbolCodeSize + kOffsetCodeSize;

struct BestStore {
  std::uint32_t next_coordinate;  // see coordinates_start_afresh
  BinaryTrees trees;
  std::uint32_t first[kSegmentBytes + 1];
  std::uint32_t entries[kCacheEntries + kMaxMatchLength];
  std::uint32_t cost[kSegmentBytes + 1];
  std::uint32_t choice[kSegmentBytes + 1];
  SymbolRecord records[kSegmentBytes];  // the segment's parse
  SymbolRecord kept[kSegmentBytes];     // a block's best parse so far
  SymbolRecord trial[kSegmentBytes];    // a block's next parse
  std::uint32_t grid_counts[kGridPoints][kCountKinds];  // counts of the records before each grid point
  std::uint32_t grid_bytes[kGridPoints];                // input bytes before each grid point
  std::uint64_t grid_cost[kGridPoints];                 // cheapest blocks up to each grid point
  std::int32_t grid_from[kGridPoints];                  // ... the last of them starting here
  std::uint32_t found[kMaxMatchLength];
};

struct BestParse {
  Decompressor& c;
  BitOutput& out;
  BestStore& store;
  const std::uint8_t* input = nullptr;
  std::size_t size = 0;
  std::uint32_t first = kFirstCoordinate;  // coordinate of the input's first byte
  std::size_t origin = 0;                   // input index of coordinate `first`
  Prices prices = {};
};

std::uint32_t coordinate(const BestParse& p, std::size_t pos) {
  return static_cast<std::uint32_t>(pos - p.origin) + p.first;
}

void rebase_if_due(BestParse& p, std::size_t pos) {
  if (coordinate(p, pos) < kRebaseAt - kSegmentBytes) return;
  p.origin += kRebaseShift;
  binary_trees_rebase(p.store.trees, kRebaseShift);
}

// Files the positions from `start` on and caches their matches, position
// k of the segment in entries[first[k]...]. A match of kNiceLength or more
// is taken as it is: the positions it covers are filed but keep no matches.
// Returns the segment's end.
std::size_t find_matches(BestParse& p, std::size_t start) {
  BestStore& s = p.store;
  const std::size_t end = std::min(p.size, start + kSegmentBytes);
  std::uint32_t used = 0;
  std::size_t skip_until = start;
  std::size_t pos = start;
  for (; pos < end && used <= kCacheEntries; ++pos) {
    s.first[pos - start] = used;
    const int limit = static_cast<int>(std::min<std::size_t>(kMaxMatchLength, p.size - pos));
    if (limit < kMinMatch) continue;
    const bool skipping = pos < skip_until;
    std::uint32_t* found = skipping ? s.found : s.entries + used;
    const int count = binary_trees_find(s.trees, p.input + pos, coordinate(p, pos), limit, kTreeDepth,
                                        kNiceLength, found);
    if (skipping || count == 0) continue;
    used += static_cast<std::uint32_t>(count);
    const int longest = tree_match_length(found[count - 1]);
    if (longest >= kNiceLength) skip_until = pos + static_cast<std::size_t>(longest);
  }
  s.first[pos - start] = used;
  return pos;
}

void tally(const SymbolRecord* records, int count, std::uint32_t* symbol_counts, std::uint32_t* offset_counts) {
  std::fill(symbol_counts, symbol_counts + kSymbolCodeSize, 0u);
  std::fill(offset_counts, offset_counts + kOffsetCodeSize, 0u);
  for (int i = 0; i < count; ++i) {
    const int symbol = record_symbol(records[i]);
    ++symbol_counts[symbol];
    if (symbol >= 256) ++offset_counts[std::bit_width(static_cast<unsigned>(record_offset(records[i])))];
  }
}

void prices_from_records(BestParse& p, const SymbolRecord* records, int count) {
  std::uint32_t symbol_counts[kSymbolCodeSize];
  std::uint32_t offset_counts[kOffsetCodeSize];
  tally(records, count, symbol_counts, offset_counts);
  prices_from_counts(p.prices, p.c, symbol_counts, offset_counts);
}

// Bits of one block of these records, with its own codes.
std::uint64_t records_cost(BestParse& p, const SymbolRecord* records, int count) {
  count_records(p.c, records, count);
  return block_cost_bits(p.c);
}

// Bits of the block made of the records between grid points a and b.
std::uint64_t grid_block_cost(BestParse& p, int a, int b) {
  const std::uint32_t* from = p.store.grid_counts[a];
  const std::uint32_t* to = p.store.grid_counts[b];
  for (int s = 0; s < kSymbolCodeSize; ++s) p.c.symbol_freq[s] = static_cast<std::uint16_t>(to[s] - from[s]);
  for (int q = 0; q < kOffsetCodeSize; ++q) {
    p.c.offset_freq[q] = static_cast<std::uint16_t>(to[kSymbolCodeSize + q] - from[kSymbolCodeSize + q]);
  }
  return block_cost_bits(p.c);
}

// Counts of the records before each grid point; returns the last point.
int fill_grid(BestParse& p, int count) {
  BestStore& s = p.store;
  std::uint32_t running[kCountKinds] = {};
  std::uint32_t bytes = 0;
  int point = 0;
  for (int i = 0;; ++i) {
    if (i % kSplitGrid == 0 || i == count) {
      std::memcpy(s.grid_counts[point], running, sizeof running);
      s.grid_bytes[point] = bytes;
      if (i == count) return point;
      ++point;
    }
    const SymbolRecord r = s.records[i];
    const int symbol = record_symbol(r);
    ++running[symbol];
    if (symbol >= 256) ++running[kSymbolCodeSize + std::bit_width(static_cast<unsigned>(record_offset(r)))];
    bytes += static_cast<std::uint32_t>(record_bytes(r));
  }
}

// Cheapest cut of the segment's records into blocks ending at grid points,
// none longer than kMaxGridSteps points. Leaves the choice in grid_from.
int choose_blocks(BestParse& p, int count) {
  BestStore& s = p.store;
  const int last = fill_grid(p, count);
  s.grid_cost[0] = 0;
  for (int b = 1; b <= last; ++b) {
    s.grid_cost[b] = UINT64_MAX;
    for (int a = std::max(0, b - kMaxGridSteps); a < b; ++a) {
      const std::uint64_t cost = s.grid_cost[a] + grid_block_cost(p, a, b);
      if (cost < s.grid_cost[b]) {
        s.grid_cost[b] = cost;
        s.grid_from[b] = a;
      }
    }
  }
  return last;
}

// Parses data[from, to) again with the prices of the kept parse's own codes,
// keeping the new parse when its block costs less; then writes the block.
void code_block(BestParse& p, const std::uint8_t* data, const MatchList& matches, int from, int to,
                const SymbolRecord* records, int count) {
  BestStore& s = p.store;
  std::memcpy(s.kept, records, sizeof(SymbolRecord) * static_cast<std::size_t>(count));
  int kept_count = count;
  std::uint64_t kept_cost = records_cost(p, s.kept, kept_count);
  for (int pass = 0; pass < kBlockPasses; ++pass) {
    prices_from_records(p, s.kept, kept_count);
    const int trial_count = parse_cheapest(data, matches, from, to, p.prices, {s.cost, s.choice}, s.trial);
    if (trial_count > kMaxBlockSymbols) break;
    const std::uint64_t trial_cost = records_cost(p, s.trial, trial_count);
    if (trial_cost >= kept_cost) break;
    std::memcpy(s.kept, s.trial, sizeof(SymbolRecord) * static_cast<std::size_t>(trial_count));
    kept_count = trial_count;
    kept_cost = trial_cost;
  }
  count_records(p.c, s.kept, kept_count);
  write_record_block(p.c, p.out, s.kept, kept_count);
}

void code_segment(BestParse& p, std::size_t start, std::size_t end) {
  BestStore& s = p.store;
  const std::uint8_t* data = p.input + start;
  const int n = static_cast<int>(end - start);
  const MatchList matches{s.first, s.entries};
  const ParseRoom room{s.cost, s.choice};
  prices_first_guess(p.prices, data, n);
  int count = parse_cheapest(data, matches, 0, n, p.prices, room, s.records);
  for (int pass = 0; pass < kSegmentPasses; ++pass) {
    prices_from_records(p, s.records, count);
    count = parse_cheapest(data, matches, 0, n, p.prices, room, s.records);
  }
  const int last = choose_blocks(p, count);
  // The blocks were chosen from the end backwards; write them from the front.
  int ends[kGridPoints];
  int blocks = 0;
  for (int b = last; b > 0; b = s.grid_from[b]) ends[blocks++] = b;
  int a = 0;
  for (int k = blocks - 1; k >= 0 && !p.out.full; --k) {
    const int b = ends[k];
    const int first_record = std::min(a * kSplitGrid, count);
    const int end_record = std::min(b * kSplitGrid, count);
    code_block(p, data, matches, static_cast<int>(s.grid_bytes[a]), static_cast<int>(s.grid_bytes[b]),
               s.records + first_record, end_record - first_record);
    a = b;
  }
}

}  // namespace

int best_compress(Decompressor& c, std::span<const std::uint8_t> input, BitOutput& out) {
  BestStore* store = work_store<BestStore>(c.best_store);
  if (store == nullptr) return CODEC_ERR_NO_MEMORY;
  if (coordinates_start_afresh(store->next_coordinate)) binary_trees_reset(store->trees);
  BestParse p{c, out, *store, input.data(), input.size(), store->next_coordinate};
  std::size_t pos = 0;
  while (pos < p.size && !out.full) {
    rebase_if_due(p, pos);
    const std::size_t end = find_matches(p, pos);
    code_segment(p, pos, end);
    pos = end;
  }
  store->next_coordinate = coordinates_after(coordinate(p, p.size));
  return 0;
}

}  // namespace telo
