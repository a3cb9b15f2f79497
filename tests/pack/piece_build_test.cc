// The cut of files into pieces follows the build's piece size, never its
// thread count, and the table the build writes names exactly that cut.

#include <gtest/gtest.h>

#include <filesystem>

#include "pack/build.h"
#include "pack/installer_file.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

using testing::ScopedTempDir;
using testing::read_file;
using testing::write_file;

std::string text_of(std::size_t size) {
  std::string text;
  for (unsigned i = 0; text.size() < size; ++i) text += "entry " + std::to_string(i * 104729u % 99991u) + "\n";
  text.resize(size);
  return text;
}

struct Built {
  std::string bytes;
  PieceTable table;
};

Built build(const ScopedTempDir& temp, std::optional<std::uint32_t> pieces, CompressionLevel level, unsigned jobs) {
  PackOptions options;
  options.output = temp / "setup.bin";
  options.app_dir = temp / "app";
  options.stub = TELO_INSTALLER_PATH;
  options.level = level;
  options.pieces = pieces;
  options.jobs = jobs;
  EXPECT_EQ(build_installer(options), 0);
  InstallerFile reader;
  std::string fault;
  EXPECT_TRUE(open_installer(options.output, &reader, &fault)) << fault;
  return {read_file(options.output), reader.pieces};
}

TEST(PieceBuild, PiecesFollowTheSizeAskedForWhateverTheJobs) {
  ScopedTempDir temp;
  std::filesystem::create_directories(temp / "app");
  write_file(temp / "app/a.txt", text_of(3 * 1024 * 1024 + 100));
  write_file(temp / "app/b.txt", "small\n");
  struct Case {
    std::optional<std::uint32_t> pieces;
    CompressionLevel level;
    std::vector<std::uint32_t> outputs;  // the piece starts of a.txt; empty: no table
  };
  const Case cases[] = {
      {std::nullopt, CompressionLevel::kFast, {0, 2u << 20}},
      {std::nullopt, CompressionLevel::kReference, {}},
      {1u << 20, CompressionLevel::kReference, {0, 1u << 20, 2u << 20, 3u << 20}},
      {3u << 19, CompressionLevel::kFast, {0, 3u << 19, 3u << 20}},
      {0, CompressionLevel::kFast, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pieces.value_or(1)) + " level " + std::to_string(static_cast<int>(c.level)));
    const Built one = build(temp, c.pieces, c.level, 1);
    const Built three = build(temp, c.pieces, c.level, 3);
    EXPECT_TRUE(one.bytes == three.bytes);
    if (c.outputs.empty()) {
      EXPECT_EQ(one.table.length, 0u);
      continue;
    }
    ASSERT_EQ(one.table.records.size(), 1u);
    EXPECT_EQ(one.table.records[0].record_index, 0u);
    std::vector<std::uint32_t> outputs;
    for (const PiecePoint& point : one.table.records[0].pieces) outputs.push_back(point.output_offset);
    EXPECT_EQ(outputs, c.outputs);
  }
}

}  // namespace
}  // namespace telo
