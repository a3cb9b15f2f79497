#include "codec/symbol_records.h"

#include <cassert>

#include "codec/block_coder.h"

namespace telo {

void count_records(Decompressor& c, const SymbolRecord* records, int count) {
  block_clear_counts(c);
  for (int i = 0; i < count; ++i) count_record(c, records[i]);
}

// Format notes: the header's symbol count is the frequencies' total, so the
// block ends exactly after its last record; the next header follows at once,
// with no padding, which is what lets streams be joined bit to bit.
void write_record_block(Decompressor& c, BitOutput& out, const SymbolRecord* records, int count) {
  assert(count >= 1 && count <= kMaxBlockSymbols);
  [[maybe_unused]] const int size = block_write_codes(c, out);
  assert(size == count);
  for (int i = 0; i < count && !out.full; ++i) {
    const SymbolRecord r = records[i];
    const int symbol = record_symbol(r);
    if (symbol < 256) {
      block_put_literal(c, out, symbol);
    } else {
      block_put_match(c, out, symbol, record_offset(r));
    }
  }
  block_clear_counts(c);
}

}  // namespace telo
