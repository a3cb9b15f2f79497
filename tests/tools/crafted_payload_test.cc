// Payloads that pass every CRC yet ask for odd things: the installer, the
// packer's verify and its extract must agree on each. Whatever verify calls
// intact, the installer installs; extract fails exactly when the installer
// does, and leaves the same tree. A piece table that does not fit its stream
// fails verify alone: installing never depends on it.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/payload_builder.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/tools/installer_dialogue.h"
#include "tests/tools/pack_fixture.h"

namespace telo::testing {
namespace {

namespace fs = std::filesystem;

// Every entry below `root`, sorted: "d path" for a directory, "f path=contents"
// for a file; empty when `root` does not exist.
std::vector<std::string> tree_of(const std::string& root) {
  std::vector<std::string> entries;
  if (!fs::exists(root)) return entries;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(entry.path(), root).string();
    if (entry.is_directory()) entries.push_back("d " + rel);
    else entries.push_back("f " + rel + "=" + read_file(entry.path()));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

TestFile removal(const std::string& path) { return {path, "", METHOD_REMOVE}; }

// What follows the records: nothing, the piece table of the files built in
// pieces, or that table with one point moved off the stream's seam.
enum class Table { kNone, kAsBuilt, kSeamMoved };

struct CraftedCase {
  const char* name;
  std::vector<TestFile> files;
  bool installs;
  Table table = Table::kNone;
};

// A text of `size` bytes that compresses, different for each `variant`.
std::string text_of(std::size_t size, unsigned variant) {
  std::string text;
  for (unsigned i = 0; text.size() < size; ++i) text += "row " + std::to_string(i * 7919u % (997u + variant)) + "\n";
  text.resize(size);
  return text;
}

// A file coded in pieces of 8192 bytes.
TestFile in_pieces(const std::string& path, std::size_t size, unsigned variant) {
  TestFile file{path, text_of(size, variant), METHOD_COMPRESSED};
  file.piece_size = 8192;
  return file;
}

std::vector<std::uint8_t> payload_bytes(const CraftedCase& c) {
  const BuiltPayload payload = build_payload(c.files);
  std::vector<std::uint8_t> bytes = payload.bytes();
  if (c.table == Table::kNone) return bytes;
  std::vector<RecordPieces> pieces = payload.pieces;
  if (c.table == Table::kSeamMoved) pieces.at(0).pieces.at(2).bit_offset += 3;
  const std::vector<std::uint8_t> table = encode_piece_table(pieces);
  bytes.insert(bytes.end(), table.begin(), table.end());
  return bytes;
}

TEST(CraftedPayloads, InstallerVerifyAndExtractAgree) {
  const std::string long_name(300, 'n');
  const CraftedCase cases[] = {
      {"a record named '.'", {{"a", "x"}, {".", "y"}}, false},
      {"a path ending in '/'", {{"newdir/", "x"}}, false},
      {"a file, then a record below it", {{"a", "x"}, {"a/b", "y"}}, false},
      {"a record below a name, then a file of that name", {{"a/b", "y"}, {"a", "x"}}, false},
      {"a '.' as the last component", {{"a/.", "x"}}, false},
      {"a component longer than a file name may be", {{"ok", "1"}, {"d/" + long_name, "x"}}, false},
      {"the same path twice: the second wins", {{"a", "1"}, {"a", "2"}}, true},
      {"a backslash cuts the directory there", {{"p\\q", "x"}, {"r/s\\t", "y"}}, true},
      {"doubled slashes and '.' components fold away", {{"a//b", "1"}, {"./c", "2"}, {"d/./e", "3"}}, true},
      {"a removed file makes way for a directory", {{"a", "x"}, removal("a"), {"a/b", "y"}}, true},
      {"a removal leaves a directory that is not empty", {{"d/e", "1"}, removal("d"), {"d/f", "2"}}, true},
      {"a removal takes an empty directory", {{"d/e", "1"}, removal("d/e"), removal("d")}, true},
      {"a removal with a trailing '/' spares a file", {{"a", "1"}, removal("a/"), {"b", "2"}}, true},
      {"a removal of a missing path", {removal("nothing/here"), {"b", "2"}}, true},
      // A path goes below the directory after a '/', so only a ".." that
      // climbs above the top leads out.
      {"an absolute path lands below the directory", {{"/abs/x", "1"}, {"//y", "2"}}, true},
      {"a '..' that comes back inside", {{"a/../b", "1"}, {"c/d/../../e", "2"}}, true},
      {"a '..' after a file's name", {{"f", "1"}, {"f/../g", "2"}}, false},
      {"a '..' as the last component", {{"a/..", "x"}}, false},
      {"an empty path names the directory itself", {{"", "x"}}, false},
      {"a '..' that climbs out", {{"ok", "1"}, {"a/../../x", "2"}}, false},
      {"a removal through '..'", {{"b", "1"}, {"a/c", "2"}, removal("a/../b")}, true},
      {"a removal through a missing directory's '..'", {{"b", "1"}, removal("gone/../b")}, true},
      {"a removal of the empty path leaves the directory", {{"b", "1"}, removal(""), removal("b")}, true},
      // Files in pieces decode on every reader; the table never decides
      // the contents: where it misses the stream's seams, the file decodes
      // again from its start.
      {"files in pieces with their table",
       {in_pieces("big", 60000, 1), {"small", "s"}, in_pieces("d/other", 30000, 2)},
       true,
       Table::kAsBuilt},
      {"a table whose point misses the stream's seam",
       {{"first", "1"}, in_pieces("big", 60000, 3), {"after", "2"}},
       true,
       Table::kSeamMoved},
  };
  for (const CraftedCase& c : cases) {
    ScopedTempDir temp;
    const std::string installer = temp / "setup.bin";
    write_installer(installer, payload_bytes(c));

    const RunResult verified = run_pack({"verify", installer});
    const RunResult extracted = run_pack({"extract", installer, temp / "extracted"});
    const DialogueResult installed = install_by_dialogue(installer, temp / "installed");

    EXPECT_FALSE(installed.timed_out) << c.name;
    EXPECT_EQ(installed.extracted, c.installs) << c.name << "\n" << installed.stderr_text;
    // verify also judges the table, which installing only trusts for speed.
    const bool verifies = c.installs && c.table != Table::kSeamMoved;
    EXPECT_EQ(verified.exit_status == 0, verifies) << c.name << "\n" << verified.stderr_text;
    EXPECT_EQ(extracted.exit_status == 0, c.installs) << c.name << "\n" << extracted.stderr_text;
    EXPECT_EQ(tree_of(temp / "extracted"), tree_of(temp / "installed")) << c.name;
  }
}

}  // namespace
}  // namespace telo::testing
