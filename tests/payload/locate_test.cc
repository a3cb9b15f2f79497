#include "payload/locate.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/payload_builder.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

using testing::ScopedTempDir;

// Writes `payload` at `offset` of a file padded with `filler` bytes.
std::string file_with_payload_at(const ScopedTempDir& dir, std::size_t offset,
                                 const std::vector<std::uint8_t>& payload, char filler = 'x') {
  std::string contents(offset, filler);
  contents.append(reinterpret_cast<const char*>(payload.data()), payload.size());
  std::string path = dir / "installer";
  testing::write_file(path, contents);
  return path;
}

struct Located {
  HeaderFault fault = HeaderFault::kNone;
  PayloadHeader header{};
  std::uint64_t offset = 0;
};

Located locate_in(const std::string& path) {
  Located found;
  const int fd = ::open(path.c_str(), O_RDONLY);
  found.fault = find_payload_header(fd, &found.header, &found.offset);
  ::close(fd);
  return found;
}

std::vector<std::uint8_t> sample_payload() {
  return testing::build_payload({{"a.txt", "hello"}}).bytes();
}

TEST(LocatePayload, FindsTheHeaderAtAnyMultipleOf1024) {
  ScopedTempDir dir;
  for (std::size_t offset : {1024u, 5120u}) {
    std::string path = file_with_payload_at(dir, offset, sample_payload());
    Located found = locate_in(path);
    EXPECT_EQ(found.fault, HeaderFault::kNone);
    EXPECT_EQ(found.offset, offset);
  }
}

TEST(LocatePayload, RefusesWhatIsNotThere) {
  ScopedTempDir dir;
  struct Case {
    const char* name;
    std::string path;
  } cases[] = {
      {"offset 0", file_with_payload_at(dir, 0, sample_payload())},
      {"offset 1500", file_with_payload_at(dir, 1500, sample_payload())},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(locate_in(c.path).fault, HeaderFault::kNotFound) << c.name;
  }
  std::string short_file = dir / "short";
  testing::write_file(short_file, std::string(2051, 'x'));
  EXPECT_EQ(locate_in(short_file).fault, HeaderFault::kNotFound);
  // A marker in the last block, with too few bytes after it for a header.
  std::vector<std::uint8_t> cut = sample_payload();
  cut.resize(kPayloadHeaderSize - 1);
  EXPECT_EQ(locate_in(file_with_payload_at(dir, 1024, cut)).fault, HeaderFault::kNotFound);
}

TEST(LocatePayload, TakesTheFirstMatchEvenWhenItsCrcIsWrong) {
  ScopedTempDir dir;
  std::vector<std::uint8_t> good = sample_payload();
  std::vector<std::uint8_t> bad = good;
  bad[500] ^= 1;  // a text field
  std::vector<std::uint8_t> both = bad;
  both.resize(2048, 0);
  both.insert(both.end(), good.begin(), good.end());
  EXPECT_EQ(locate_in(file_with_payload_at(dir, 1024, both)).fault, HeaderFault::kCrc);
}

TEST(LocatePayload, EveryByteOfTheBlockCountsButTheCrcField) {
  ScopedTempDir dir;
  for (std::size_t at : {252u, 280u, 412u, 610u, 738u, 1027u}) {
    std::vector<std::uint8_t> payload = sample_payload();
    payload[at] ^= 0x40;
    EXPECT_EQ(locate_in(file_with_payload_at(dir, 1024, payload)).fault, HeaderFault::kCrc) << at;
  }
}

TEST(LocatePayload, KeepsTheBlockAsRead) {
  ScopedTempDir dir;
  testing::BuiltPayload built = testing::build_payload({{"a", "1"}, {"b", "22"}});
  Located found = locate_in(file_with_payload_at(dir, 2048, built.bytes()));
  EXPECT_EQ(found.fault, HeaderFault::kNone);
  EXPECT_EQ(std::memcmp(&found.header, &built.header, sizeof built.header), 0);
}

// After the payload found, the scan goes on for another header that would
// pass: a block with the marker but a wrong CRC is passed over.
TEST(LaterPayloadHeader, SkipsMarkersThatFailTheirCrc) {
  ScopedTempDir dir;
  std::vector<std::uint8_t> good = sample_payload();
  std::vector<std::uint8_t> bad = good;
  bad[500] ^= 1;  // a text field
  std::vector<std::uint8_t> all = good;  // at 1024
  all.resize(2048, 0);
  all.insert(all.end(), bad.begin(), bad.end());  // at 3072
  all.resize(4096, 0);
  all.insert(all.end(), good.begin(), good.end());  // at 5120
  const int fd = ::open(file_with_payload_at(dir, 1024, all).c_str(), O_RDONLY);
  std::uint64_t offset = 0;
  EXPECT_TRUE(find_later_payload_header(fd, 1024, &offset));
  EXPECT_EQ(offset, 5120u);
  EXPECT_TRUE(find_later_payload_header(fd, 1500, &offset));
  EXPECT_EQ(offset, 5120u);
  offset = 7;
  EXPECT_FALSE(find_later_payload_header(fd, 5120, &offset));
  EXPECT_EQ(offset, 7u);
  ::close(fd);
}

// A program about to carry a payload must hold no marker where the scan
// looks; the marker alone counts, whatever follows it.
TEST(HoldsPayloadMarker, LooksWhereTheScanLooks) {
  const std::vector<std::uint8_t> header = sample_payload();
  struct Case {
    const char* name;
    std::size_t at;
    std::size_t keep;  // bytes of the header kept
    bool expected;
  } cases[] = {
      {"at 1024", 1024, header.size(), true},
      {"at 4096", 4096, header.size(), true},
      {"the marker alone, at the end", 2048, kMarkerLength, true},
      {"the marker cut short", 2048, kMarkerLength - 1, false},
      {"at 0", 0, header.size(), false},
      {"between two places", 1500, header.size(), false},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes(c.at, 'x');
    bytes.insert(bytes.end(), header.begin(), header.begin() + static_cast<std::ptrdiff_t>(c.keep));
    EXPECT_EQ(holds_payload_marker(bytes), c.expected) << c.name;
  }
  EXPECT_FALSE(holds_payload_marker({}));
}

}  // namespace
}  // namespace telo
