#include "payload/record_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pack/payload_writer.h"

namespace telo {
namespace {

// The path follows the directory and a '/': an empty or absolute one, and
// one whose ".." come back no higher than the top, stay inside.
TEST(IsSafeRelPath, AcceptsPathsThatStayBelow) {
  for (const char* path : {"a", "a/b/c.txt", "...", "..a", "a..", "a/..b/c", "./a", "a//b", "a/b/",
                           "a\\..\\b", "", "/", "/etc/passwd", "a/..", "a/../b", "a//../b", "a/b/../../c",
                           "a/./.."}) {
    EXPECT_TRUE(is_safe_rel_path(path)) << path;
  }
}

TEST(IsSafeRelPath, RefusesPathsThatClimbAboveTheTop) {
  for (const char* path : {"..", "../x", "a/b/../../..", "../", "/..", "a/../../b", "./../a", "a/../b/../.."}) {
    EXPECT_FALSE(is_safe_rel_path(path)) << path;
  }
}

std::vector<std::uint8_t> header_for(const FileRecord& record, const std::string& path) {
  return make_record_header(record, path);
}

TEST(RecordRelPath, FindsThePathUpToItsTerminator) {
  std::vector<std::uint8_t> header = header_for(FileRecord{}, "dir/file");
  std::string_view path;
  ASSERT_TRUE(record_rel_path(header, &path));
  EXPECT_EQ(path, "dir/file");
}

TEST(RecordRelPath, RefusesAPathThatRunsToTheEndOfTheHeader) {
  std::vector<std::uint8_t> header = header_for(FileRecord{}, "abc");  // 41 bytes, "abc\0"
  ASSERT_EQ(header.size(), 42u);
  header.back() = 'd';
  std::string_view path;
  EXPECT_FALSE(record_rel_path(header, &path));
  // The terminator must lie within the header, not just after it.
  EXPECT_FALSE(record_rel_path(std::span(header).first(header.size()), &path));
}

struct CheckCase {
  std::uint32_t method;
  std::uint32_t size;
  std::uint32_t stored_size;
  const char* path;
  RecordFault expected;
};

TEST(CheckRecord, ReportsTheFirstFault) {
  const CheckCase cases[] = {
      {METHOD_STORED, 5, 5, "a", RecordFault::kNone},
      {METHOD_STORED, 0, 0, "empty", RecordFault::kNone},
      {METHOD_STORED, 5, 4, "a", RecordFault::kStoredSizeMismatch},
      {METHOD_STORED, 4, 5, "a", RecordFault::kStoredSizeMismatch},
      {METHOD_COMPRESSED, 0, 3, "a", RecordFault::kEmptyCompressed},
      {7, 0, 3, "a", RecordFault::kEmptyCompressed},  // other methods decode like 1
      {METHOD_COMPRESSED, 100, 3, "a", RecordFault::kNone},
      {METHOD_REMOVE, 0, 0, "a", RecordFault::kNone},
      {METHOD_REMOVE, 0, 3, "a", RecordFault::kRemovalWithBytes},
      // Joined to the directory with a '/', a path stays inside unless a
      // ".." climbs above the top.
      {METHOD_REMOVE, 0, 0, "", RecordFault::kNone},
      {METHOD_STORED, 0, 0, "", RecordFault::kNone},
      {METHOD_COMPRESSED, 1, 1, "/abs", RecordFault::kNone},
      {METHOD_STORED, 1, 1, "a/../b", RecordFault::kNone},
      {METHOD_STORED, 1, 1, "a/..", RecordFault::kNone},
      {METHOD_STORED, 1, 1, "a/./../b", RecordFault::kNone},
      {METHOD_STORED, 5, 4, "../a", RecordFault::kUnsafePath},
      {METHOD_STORED, 1, 1, "a/../../b", RecordFault::kUnsafePath},
      {METHOD_STORED, 1, 1, "/../b", RecordFault::kUnsafePath},
      {METHOD_REMOVE, 0, 0, "..", RecordFault::kUnsafePath},
  };
  for (const CheckCase& c : cases) {
    FileRecord record;
    record.method = c.method;
    record.size = c.size;
    record.stored_size = c.stored_size;
    std::vector<std::uint8_t> header = header_for(record, c.path);
    EXPECT_EQ(check_record(header, record), c.expected) << c.path << " method " << c.method;
  }
}

TEST(CheckRecord, AnUnterminatedPathComesFirst) {
  FileRecord record;
  record.size = 1;
  std::vector<std::uint8_t> header = header_for(record, "../x");
  std::fill(header.begin() + record_offset::kRelPath, header.end(), 'x');
  EXPECT_EQ(check_record(header, record), RecordFault::kUnterminatedPath);
}

}  // namespace
}  // namespace telo
