#include "payload/piece_table.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "payload/crc16.h"
#include "payload/record_reader.h"

namespace telo {

namespace {

namespace at = piece_table_offset_of;

std::uint16_t table_crc(std::span<const std::uint8_t> table) {
  std::vector<std::uint8_t> copy(table.begin(), table.end());
  store_u16(copy.data() + at::kCrc, 0);
  return crc16(copy);
}

// Reads one entry at `pos`, moving it on; false for an entry that breaks
// the layout's rules.
bool parse_entry(std::span<const std::uint8_t> table, std::size_t* pos, std::uint32_t file_count,
                 RecordPieces* entry) {
  if (table.size() - *pos < kPieceEntryHeaderSize) return false;
  entry->record_index = load_u32(table.data() + *pos);
  const std::uint32_t count = load_u32(table.data() + *pos + 4);
  *pos += kPieceEntryHeaderSize;
  if (entry->record_index >= file_count || count < 2) return false;
  if (count - 1 > (table.size() - *pos) / kPiecePointSize) return false;
  entry->pieces.assign(1, PiecePoint{});
  for (std::uint32_t i = 1; i < count; ++i, *pos += kPiecePointSize) {
    const PiecePoint point{load_u64(table.data() + *pos), load_u32(table.data() + *pos + 8)};
    const PiecePoint& before = entry->pieces.back();
    if (point.bit_offset <= before.bit_offset || point.output_offset <= before.output_offset ||
        point.output_offset % kPieceOutputUnit != 0)
      return false;
    entry->pieces.push_back(point);
  }
  return true;
}

bool parse_entries(std::span<const std::uint8_t> table, std::uint32_t file_count, PieceTable* parsed) {
  const std::uint32_t entries = load_u32(table.data() + at::kEntryCount);
  if (entries > file_count) return false;
  std::size_t pos = kPieceTableHeaderSize;
  for (std::uint32_t e = 0; e < entries; ++e) {
    RecordPieces entry;
    if (!parse_entry(table, &pos, file_count, &entry)) return false;
    if (!parsed->records.empty() && entry.record_index <= parsed->records.back().record_index) return false;
    parsed->records.push_back(std::move(entry));
  }
  return pos == table.size();  // nothing unaccounted for inside the length
}

}  // namespace

std::uint64_t piece_table_offset(const PayloadHeader& header, std::uint64_t records_start) {
  return records_start + std::uint64_t{header.total_header_size} + std::uint64_t{header.total_stored_size};
}

std::vector<std::uint8_t> encode_piece_table(const std::vector<RecordPieces>& records) {
  std::vector<std::uint8_t> bytes(kPieceTableHeaderSize, 0);
  std::memcpy(bytes.data() + at::kMarker, kPieceTableMarker, sizeof kPieceTableMarker);
  store_u32(bytes.data() + at::kVersion, kPieceTableVersion);
  store_u32(bytes.data() + at::kEntryCount, static_cast<std::uint32_t>(records.size()));
  for (const RecordPieces& entry : records) {
    std::uint8_t head[kPieceEntryHeaderSize];
    store_u32(head, entry.record_index);
    store_u32(head + 4, static_cast<std::uint32_t>(entry.pieces.size()));
    bytes.insert(bytes.end(), head, head + sizeof head);
    for (std::size_t i = 1; i < entry.pieces.size(); ++i) {
      std::uint8_t point[kPiecePointSize];
      store_u64(point, entry.pieces[i].bit_offset);
      store_u32(point + 8, entry.pieces[i].output_offset);
      bytes.insert(bytes.end(), point, point + sizeof point);
    }
  }
  store_u32(bytes.data() + at::kLength, static_cast<std::uint32_t>(bytes.size()));
  store_u16(bytes.data() + at::kCrc, crc16(bytes));
  return bytes;
}

bool starts_piece_table(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= sizeof kPieceTableMarker &&
         std::memcmp(bytes.data(), kPieceTableMarker, sizeof kPieceTableMarker) == 0;
}

bool parse_piece_table(std::span<const std::uint8_t> bytes, std::uint32_t file_count, PieceTable* table) {
  *table = PieceTable{};
  if (bytes.size() < kPieceTableHeaderSize || !starts_piece_table(bytes)) return false;
  const std::uint32_t length = load_u32(bytes.data() + at::kLength);
  if (load_u32(bytes.data() + at::kVersion) != kPieceTableVersion || length < kPieceTableHeaderSize ||
      length > kMaxPieceTableLength || length > bytes.size() || load_u16(bytes.data() + at::kCrc + 2) != 0)
    return false;
  const std::span<const std::uint8_t> whole = bytes.first(length);
  PieceTable parsed;
  parsed.length = length;
  try {
    if (table_crc(whole) != load_u16(whole.data() + at::kCrc) || !parse_entries(whole, file_count, &parsed))
      return false;
  } catch (const std::bad_alloc&) {
    return false;  // without memory for it, the records decode whole
  }
  *table = std::move(parsed);
  return true;
}

bool record_pieces_fit(const RecordPieces& entry, const FileRecord& record) {
  if (record.method != METHOD_COMPRESSED || entry.pieces.size() < 2) return false;
  const PiecePoint& last = entry.pieces.back();
  return last.output_offset < record.size && last.bit_offset < std::uint64_t{record.stored_size} * 8;
}

bool read_piece_table(std::span<const std::uint8_t> bytes, std::span<const FileRecord> records, PieceTable* table) {
  if (records.size() > 0xFFFFFFFFu ||
      !parse_piece_table(bytes, static_cast<std::uint32_t>(records.size()), table))
    return false;
  for (const RecordPieces& entry : table->records) {
    if (record_pieces_fit(entry, records[entry.record_index])) continue;
    *table = PieceTable{};
    return false;
  }
  return true;
}

bool load_piece_table(int fd, std::uint64_t offset, std::uint32_t file_count, PieceTable* table) {
  *table = PieceTable{};
  std::uint8_t head[kPieceTableHeaderSize];
  PayloadSource source{fd, offset};
  if (payload_read(&source, head, sizeof head) != sizeof head || !starts_piece_table(head)) return false;
  const std::uint32_t length = load_u32(head + at::kLength);
  if (length < kPieceTableHeaderSize || length > kMaxPieceTableLength) return false;
  std::vector<std::uint8_t> bytes;
  try {
    bytes.resize(length);
  } catch (const std::bad_alloc&) {
    return false;
  }
  source.offset = offset;
  if (payload_read(&source, bytes.data(), length) != length) return false;
  return parse_piece_table(bytes, file_count, table);
}

const RecordPieces* find_record_pieces(const PieceTable& table, std::uint32_t index) {
  auto it = std::lower_bound(table.records.begin(), table.records.end(), index,
                             [](const RecordPieces& entry, std::uint32_t i) { return entry.record_index < i; });
  return it != table.records.end() && it->record_index == index ? &*it : nullptr;
}

}  // namespace telo
