#include "payload/piece_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "payload/crc16.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace at = piece_table_offset_of;

FileRecord compressed(std::uint32_t size, std::uint32_t stored_size) {
  FileRecord record;
  record.method = METHOD_COMPRESSED;
  record.size = size;
  record.stored_size = stored_size;
  return record;
}

// Five records; the second and the fifth are cut into pieces.
const std::vector<FileRecord>& sample_records() {
  static const std::vector<FileRecord> records = {
      compressed(100, 60), compressed(5u << 20, 1u << 20), FileRecord{}, compressed(10, 10),
      compressed(3 * 8192 + 1, 9000)};
  return records;
}

std::vector<RecordPieces> sample_entries() {
  return {{1, {{0, 0}, {1000001, 2u << 20}, {5000000, 4u << 20}}}, {4, {{0, 0}, {17, 8192}, {30003, 3 * 8192}}}};
}

Bytes sample_table() { return encode_piece_table(sample_entries()); }

// Seals the bytes the length field claims (those there), as a writer would.
void reseal(Bytes& table) {
  const std::size_t length = std::min<std::size_t>(load_u32(table.data() + at::kLength), table.size());
  store_u16(table.data() + at::kCrc, 0);
  store_u16(table.data() + at::kCrc, crc16({table.data(), length}));
}

// Offsets of the entries' fields in the sample table.
constexpr std::size_t kFirstEntry = kPieceTableHeaderSize;
constexpr std::size_t kFirstPoint = kFirstEntry + kPieceEntryHeaderSize;
constexpr std::size_t kSecondEntry = kFirstPoint + 2 * kPiecePointSize;
constexpr std::size_t kSecondPoint = kSecondEntry + kPieceEntryHeaderSize;

TEST(PieceTable, RoundTripsAndIgnoresWhatFollows) {
  Bytes table = sample_table();
  EXPECT_EQ(table.size(), kSecondPoint + 2 * kPiecePointSize);
  EXPECT_EQ(std::string(table.begin(), table.begin() + 8), "TELOPCS1");
  table.insert(table.end(), {0xEE, 0xEE, 0xEE});
  PieceTable parsed;
  ASSERT_TRUE(read_piece_table(table, sample_records(), &parsed));
  EXPECT_EQ(parsed.records, sample_entries());
  EXPECT_EQ(parsed.length, table.size() - 3);
  ASSERT_NE(find_record_pieces(parsed, 4), nullptr);
  EXPECT_EQ(find_record_pieces(parsed, 4)->pieces[1], (PiecePoint{17, 8192}));
  EXPECT_EQ(find_record_pieces(parsed, 0), nullptr);
  EXPECT_EQ(find_record_pieces(parsed, 2), nullptr);
}

TEST(PieceTable, AnEmptyTableReads) {
  PieceTable parsed;
  ASSERT_TRUE(parse_piece_table(encode_piece_table({}), 0, &parsed));
  EXPECT_TRUE(parsed.records.empty());
  EXPECT_EQ(parsed.length, kPieceTableHeaderSize);
}

struct Damage {
  const char* name;
  std::function<void(Bytes&)> apply;
  bool reseal = true;  // the CRC made right again, so that the field's own check shows
};

const std::vector<Damage>& damages() {
  static const std::vector<Damage> all = {
      {"marker", [](Bytes& t) { t[3] ^= 0x20; }},
      {"version 2", [](Bytes& t) { store_u32(t.data() + at::kVersion, 2); }},
      {"version 0", [](Bytes& t) { store_u32(t.data() + at::kVersion, 0); }},
      {"length short of the header", [](Bytes& t) { store_u32(t.data() + at::kLength, 20); }},
      {"length one short", [](Bytes& t) { store_u32(t.data() + at::kLength, static_cast<std::uint32_t>(t.size() - 1)); }},
      {"length past the bytes", [](Bytes& t) { store_u32(t.data() + at::kLength, static_cast<std::uint32_t>(t.size() + 12)); }},
      {"length past the limit", [](Bytes& t) { store_u32(t.data() + at::kLength, kMaxPieceTableLength + 1); }},
      {"crc", [](Bytes& t) { t[kFirstPoint + 2] ^= 1; }, false},
      {"crc field", [](Bytes& t) { t[at::kCrc] ^= 0x80; }, false},
      {"reserved field", [](Bytes& t) { t[at::kCrc + 2] = 1; }},
      {"entry count one more", [](Bytes& t) { store_u32(t.data() + at::kEntryCount, 3); }},
      {"entry count one less", [](Bytes& t) { store_u32(t.data() + at::kEntryCount, 1); }},
      {"entry count past file_count", [](Bytes& t) { store_u32(t.data() + at::kEntryCount, 6); }},
      {"record index at file_count", [](Bytes& t) { store_u32(t.data() + kSecondEntry, 5); }},
      {"record index far out", [](Bytes& t) { store_u32(t.data() + kSecondEntry, 0xFFFFFFFF); }},
      {"records out of order", [](Bytes& t) { store_u32(t.data() + kSecondEntry, 0); }},
      {"record listed twice", [](Bytes& t) { store_u32(t.data() + kSecondEntry, 1); }},
      {"piece count 1", [](Bytes& t) { store_u32(t.data() + kFirstEntry + 4, 1); }},
      {"piece count 0", [](Bytes& t) { store_u32(t.data() + kFirstEntry + 4, 0); }},
      {"piece count one more", [](Bytes& t) { store_u32(t.data() + kSecondEntry + 4, 4); }},
      {"piece count huge", [](Bytes& t) { store_u32(t.data() + kFirstEntry + 4, 0xFFFFFFFF); }},
      {"bit offset 0", [](Bytes& t) { store_u64(t.data() + kFirstPoint, 0); }},
      {"bit offsets not rising", [](Bytes& t) { store_u64(t.data() + kFirstPoint + kPiecePointSize, 1000001); }},
      {"output offset 0", [](Bytes& t) { store_u32(t.data() + kSecondPoint + 8, 0); }},
      {"output offset not a multiple of 8192", [](Bytes& t) { store_u32(t.data() + kSecondPoint + 8, 8193); }},
      {"output offsets not rising", [](Bytes& t) { store_u32(t.data() + kSecondPoint + kPiecePointSize + 8, 8192); }},
      {"cut short", [](Bytes& t) { t.resize(t.size() - 1); }, false},
      {"header only", [](Bytes& t) { t.resize(kPieceTableHeaderSize - 1); }, false},
  };
  return all;
}

TEST(PieceTable, EveryDamagedFieldReadsAsNoTable) {
  for (const Damage& damage : damages()) {
    Bytes table = sample_table();
    damage.apply(table);
    if (damage.reseal && table.size() >= kPieceTableHeaderSize) reseal(table);
    PieceTable parsed;
    parsed.records = sample_entries();  // must come back empty
    EXPECT_FALSE(read_piece_table(table, sample_records(), &parsed)) << damage.name;
    EXPECT_TRUE(parsed.records.empty()) << damage.name;
    EXPECT_EQ(parsed.length, 0u) << damage.name;
  }
}

TEST(PieceTable, ATableForARecordBeyondFileCountIsRefused) {
  const Bytes table = sample_table();
  PieceTable parsed;
  EXPECT_TRUE(parse_piece_table(table, 5, &parsed));
  EXPECT_FALSE(parse_piece_table(table, 4, &parsed));  // record 4 listed, 4 records
  const std::vector<FileRecord> four(sample_records().begin(), sample_records().begin() + 4);
  EXPECT_FALSE(read_piece_table(table, four, &parsed));
}

TEST(PieceTable, PiecesMustFitTheirRecord) {
  const RecordPieces entry = sample_entries()[1];  // last piece at bit 30003, output 24576
  struct Case {
    const char* name;
    FileRecord record;
    bool fits;
  };
  FileRecord stored = compressed(3 * 8192 + 1, 9000);
  stored.method = METHOD_STORED;
  FileRecord removal = compressed(3 * 8192 + 1, 9000);
  removal.method = METHOD_REMOVE;
  const Case cases[] = {
      {"room for both", compressed(3 * 8192 + 1, 3751), true},
      {"output offset at the size", compressed(3 * 8192, 9000), false},
      {"bit offset at stored_size * 8", compressed(3 * 8192 + 1, 3750), false},
      {"stored record", stored, false},
      {"removal", removal, false},
  };
  for (const Case& c : cases) EXPECT_EQ(record_pieces_fit(entry, c.record), c.fits) << c.name;

  // One entry that does not fit takes the whole table away.
  std::vector<FileRecord> records = sample_records();
  records[4] = compressed(3 * 8192, 9000);
  PieceTable parsed;
  EXPECT_FALSE(read_piece_table(sample_table(), records, &parsed));
  EXPECT_TRUE(parsed.records.empty());
}

TEST(PieceTable, LoadsFromAFileAtItsOffset) {
  testing::ScopedTempDir dir;
  Bytes file(3000, 0x11);
  const Bytes table = sample_table();
  file.insert(file.end(), table.begin(), table.end());
  const std::string path = dir / "payload";
  testing::write_file(path, std::string(file.begin(), file.end()));
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  PieceTable parsed;
  EXPECT_TRUE(load_piece_table(fd, 3000, 5, &parsed));
  EXPECT_EQ(parsed.records, sample_entries());
  EXPECT_FALSE(load_piece_table(fd, 2999, 5, &parsed));               // not at its marker
  EXPECT_FALSE(load_piece_table(fd, 3000 + table.size(), 5, &parsed));  // nothing there
  EXPECT_FALSE(load_piece_table(fd, 3000, 4, &parsed));
  ::close(fd);
  testing::write_file(path, std::string(file.begin(), file.end() - 1));  // cut short
  const int cut = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(cut, 0);
  EXPECT_FALSE(load_piece_table(cut, 3000, 5, &parsed));
  ::close(cut);
}

TEST(PieceTable, ItsPlaceFollowsTheHeadersTotals) {
  PayloadHeader header{};
  header.total_header_size = 0xFFFFFFFF;
  header.total_stored_size = 0xFFFFFFFF;
  EXPECT_EQ(piece_table_offset(header, 2052), 2052 + 2 * std::uint64_t{0xFFFFFFFF});
}

}  // namespace
}  // namespace telo
