// Fuzzes the piece table's reader with arbitrary bytes: it must never crash
// or read past them, and whatever it accepts must be exactly what the writer
// makes of the entries it read, every rule of the layout kept.
//
// Input: one byte, the payload's file_count; then the bytes after the last record.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "payload/piece_table.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint32_t file_count = data[0];
  // An exact-size copy, so that a read past the bytes is caught.
  const std::vector<std::uint8_t> bytes(data + 1, data + size);
  telo::PieceTable table;
  if (!telo::parse_piece_table(bytes, file_count, &table)) {
    check(table.records.empty() && table.length == 0);
    return 0;
  }
  check(table.length <= bytes.size());
  const std::vector<std::uint8_t> again = telo::encode_piece_table(table.records);
  check(again.size() == table.length && std::memcmp(again.data(), bytes.data(), again.size()) == 0);
  for (const telo::RecordPieces& entry : table.records) {
    check(entry.record_index < file_count && entry.pieces.size() >= 2);
    check(entry.pieces[0] == telo::PiecePoint{});
    for (std::size_t i = 1; i < entry.pieces.size(); ++i) {
      check(entry.pieces[i].bit_offset > entry.pieces[i - 1].bit_offset);
      check(entry.pieces[i].output_offset > entry.pieces[i - 1].output_offset);
      check(entry.pieces[i].output_offset % telo::kPieceOutputUnit == 0);
    }
    check(telo::find_record_pieces(table, entry.record_index) == &entry);
  }
  return 0;
}
