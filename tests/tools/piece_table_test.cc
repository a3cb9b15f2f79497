// The piece table telo-pack writes after the last record: which builds carry
// one, that it follows --pieces and not --jobs, that list shows it and
// verify checks it against the streams, and that the installer installs
// exactly as without it.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>

#include "codec/codec.h"
#include "pack/installer_file.h"
#include "payload/piece_table.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/tools/installer_dialogue.h"
#include "tests/tools/pack_fixture.h"
#include "tests/tools/tree_fixture.h"

namespace telo::testing {
namespace {

using Json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

// Text that codes well but not to nothing, with a stretch of noise.
std::string big_text(std::size_t size, unsigned variant) {
  std::string text;
  for (unsigned i = 0; text.size() < size; ++i)
    text += "row " + std::to_string((i * 7919u + variant) % 100003u) + " of the big file\n";
  text.replace(size / 3, 20000, random_bytes(20000, variant));
  text.resize(size);
  return text;
}

// Two files past 2 MiB among small ones: 2 pieces each at the default size,
// 3 at 1 MiB.
std::vector<TreeFile> piece_files() {
  std::vector<TreeFile> files = sample_app_files();
  files.push_back({"data/big-a.txt", big_text((5u << 20) / 2, 1), 0644, 1600000100});
  files.push_back({"data/big-b.txt", big_text((5u << 20) / 2 + 8191, 2), 0644, 1600000200});
  return files;
}

class PieceTableTest : public ::testing::Test {
 protected:
  void SetUp() override { make_tree(temp / "app", piece_files()); }

  std::string build(const std::string& name, std::vector<std::string> extra) {
    std::vector<std::string> args{"build", "-o", temp / name, temp / "app", "--build-time", "1683063373"};
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult result = run_pack(args);
    EXPECT_EQ(result.exit_status, 0) << result.stderr_text;
    return temp / name;
  }

  ScopedTempDir temp;
};

// Where the records end and the table starts, and the table as read.
struct TablePlace {
  std::uint64_t at = 0;
  PieceTable table;
};

TablePlace table_of(const std::string& installer) {
  InstallerFile reader;
  std::string fault;
  EXPECT_TRUE(open_installer(installer, &reader, &fault)) << fault;
  return {reader.pieces_at, reader.pieces};
}

void replace_table(const std::string& installer, std::uint64_t at, const Bytes& table) {
  std::string image = read_file(installer);
  image.resize(at);
  image.append(table.begin(), table.end());
  write_file(installer, image);
}

TEST_F(PieceTableTest, FastAndBestWriteATableReferenceNoneUnlessAsked) {
  struct Case {
    std::vector<std::string> options;
    std::size_t pieces_per_big_file;  // 0: no table
  };
  const Case cases[] = {
      {{}, 0},
      {{"--level", "fast"}, 2},
      {{"--level", "best", "--jobs", "2"}, 2},
      {{"--level", "reference", "--pieces", "1"}, 3},
      {{"--level", "fast", "--pieces", "1536K"}, 2},
      {{"--level", "fast", "--pieces", "off"}, 0},
      {{"--level", "fast", "--pieces", "1", "--store"}, 0},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const std::string& option : c.options) label += option + " ";
    SCOPED_TRACE(label);
    const std::string installer = build("setup.bin", c.options);
    const Json listing = run_pack_json({"list", "--json", installer}, 0);
    std::size_t listed = 0;
    for (const Json& record : listing["records"]) {
      if (!record.contains("pieces")) continue;
      ++listed;
      EXPECT_EQ(record["pieces"].size(), c.pieces_per_big_file) << record;
      EXPECT_EQ(record["pieces"][0], (Json{{"bit_offset", 0}, {"output_offset", 0}}));
    }
    EXPECT_EQ(listed, c.pieces_per_big_file == 0 ? 0u : 2u);
    EXPECT_EQ(listing["piece_table"].is_null(), c.pieces_per_big_file == 0) << listing["piece_table"];
    const RunResult verified = run_pack({"verify", installer});
    EXPECT_EQ(verified.exit_status, 0) << verified.stderr_text;
  }
}

TEST_F(PieceTableTest, TheTableOnlyFollowsTheRecordsOfTheSameBuild) {
  // Reference stays byte for byte what it was; off keeps the same records.
  const std::string reference = read_file(build("reference.bin", {}));
  EXPECT_TRUE(reference == read_file(build("reference-off.bin", {"--pieces", "off"})));
  EXPECT_TRUE(reference == read_file(build("reference-2.bin", {"--pieces", "off", "--level", "reference"})));
  const std::string with_table = read_file(build("fast.bin", {"--level", "fast"}));
  const std::string without = read_file(build("fast-off.bin", {"--level", "fast", "--pieces", "off"}));
  const TablePlace place = table_of(temp / "fast.bin");
  ASSERT_NE(place.table.length, 0u);
  EXPECT_EQ(place.at, without.size());
  EXPECT_EQ(with_table.size(), without.size() + place.table.length);
  EXPECT_TRUE(with_table.compare(0, without.size(), without) == 0);
}

TEST_F(PieceTableTest, BuildsAreTheSameBytesForAnyJobCount) {
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"--level", "fast"}, std::vector<std::string>{"--level", "fast", "--pieces", "1"},
        std::vector<std::string>{"--level", "reference", "--pieces", "1"}}) {
    std::vector<std::string> one = options, two = options;
    one.insert(one.end(), {"--jobs", "1"});
    two.insert(two.end(), {"--jobs", "2"});
    EXPECT_TRUE(read_file(build("one.bin", one)) == read_file(build("two.bin", two))) << options.back();
  }
}

// Each listed piece, decoded on its own from its bit offset, gives the
// file's bytes from its output offset: checked here with the codec alone.
TEST_F(PieceTableTest, EachPieceDecodesOnItsOwnToTheFilesBytes) {
  const std::string installer = build("setup.bin", {"--level", "fast", "--pieces", "1"});
  InstallerFile reader;
  std::string fault;
  ASSERT_TRUE(open_installer(installer, &reader, &fault)) << fault;
  ASSERT_EQ(reader.pieces.records.size(), 2u);
  PayloadRecord record;
  std::size_t checked = 0;
  for (std::uint32_t i = 0; i < reader.header.file_count; ++i) {
    ASSERT_TRUE(read_payload_record(&reader, i, true, &record, &fault)) << fault;
    const RecordPieces* entry = find_record_pieces(reader.pieces, i);
    if (entry == nullptr) continue;
    const std::string original = read_file(temp / ("app/" + record.rel_path));
    ASSERT_EQ(entry->pieces.size(), 3u);
    for (std::size_t p = 0; p < entry->pieces.size(); ++p) {
      const PiecePoint& start = entry->pieces[p];
      EXPECT_EQ(start.output_offset, p << 20);
      Decompressor* context = nullptr;
      ASSERT_EQ(decompressor_create(&context), 0);
      decompressor_start_at(context, start.bit_offset);
      ByteWindow source{record.stored.data(), record.stored.data() + record.stored.size(), 0, nullptr, 0};
      Bytes out(kChunkLimit);
      ByteWindow destination{out.data(), out.data() + out.size(), 0, nullptr, 0};
      EXPECT_EQ(decompressor_decode(context, &source, &destination), 0);
      decompressor_destroy(&context);
      EXPECT_TRUE(original.compare(start.output_offset, out.size(),
                                   std::string(out.begin(), out.end())) == 0)
          << record.rel_path << " piece " << p;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 6u);
}

TEST_F(PieceTableTest, ListShowsHowManyPiecesEachRecordHas) {
  const std::string installer = build("setup.bin", {"--level", "fast", "--pieces", "1"});
  const RunResult list = run_pack({"list", installer});
  ASSERT_EQ(list.exit_status, 0) << list.stderr_text;
  const TablePlace place = table_of(installer);
  EXPECT_NE(list.stdout_text.find("piece table:     2 records in 6 pieces (" + std::to_string(place.table.length) +
                                  " bytes after the last record)\n         3 pieces  data/big-a.txt\n"
                                  "         3 pieces  data/big-b.txt\n"),
            std::string::npos)
      << list.stdout_text;
  const RunResult plain = run_pack({"list", build("plain.bin", {})});
  EXPECT_EQ(plain.stdout_text.find("piece"), std::string::npos) << plain.stdout_text;

  const Json listing = run_pack_json({"list", "--json", installer}, 0);
  EXPECT_EQ(listing["piece_table"], (Json{{"offset", place.at}, {"length", place.table.length}, {"version", 1},
                                          {"record_count", 2}}));
  for (const RecordPieces& entry : place.table.records) {
    const Json& pieces = listing["records"][entry.record_index]["pieces"];
    ASSERT_EQ(pieces.size(), entry.pieces.size());
    for (std::size_t p = 0; p < pieces.size(); ++p) {
      EXPECT_EQ(pieces[p]["bit_offset"], entry.pieces[p].bit_offset);
      EXPECT_EQ(pieces[p]["output_offset"], entry.pieces[p].output_offset);
    }
  }
  const Json verified = run_pack_json({"verify", "--json", installer}, 0);
  EXPECT_EQ(verified["result"], "intact");
  EXPECT_EQ(verified["records"], listing["records"]);
}

struct TableDamage {
  const char* name;
  std::function<void(PieceTable&)> change;  // the table is sealed again after it
  std::string message;                       // after "telo-pack: error: INSTALLER: "
};

TEST_F(PieceTableTest, VerifyNamesTheRecordWhosePiecesDoNotMatch) {
  const std::string installer = build("setup.bin", {"--level", "fast", "--pieces", "1"});
  const TablePlace place = table_of(installer);
  ASSERT_EQ(place.table.records.size(), 2u);
  const std::uint32_t b = place.table.records[1].record_index;
  const std::string name = "record " + std::to_string(b + 1) + " (data/big-b.txt)";
  const PiecePoint second = place.table.records[1].pieces[1];
  const TableDamage damages[] = {
      {"bit offset one on", [](PieceTable& t) { ++t.records[1].pieces[1].bit_offset; },
       name + ": the piece table's piece 2 (bit " + std::to_string(second.bit_offset + 1) +
           ", output offset 1048576) does not decode to the record's bytes there"},
      {"bit offset one back", [](PieceTable& t) { --t.records[1].pieces[2].bit_offset; },
       name + ": the piece table's piece 3 (bit " + std::to_string(place.table.records[1].pieces[2].bit_offset - 1) +
           ", output offset 2097152) does not decode to the record's bytes there"},
      {"pieces swapped between records",
       [](PieceTable& t) { std::swap(t.records[0].pieces[1], t.records[1].pieces[1]); },
       "record " + std::to_string(place.table.records[0].record_index + 1) +
           " (data/big-a.txt): the piece table's piece 2 (bit " + std::to_string(second.bit_offset) +
           ", output offset 1048576) does not decode to the record's bytes there"},
      {"output offset past the size", [](PieceTable& t) { t.records[1].pieces[2].output_offset = 3u << 20; },
       name + ": the piece table does not fit the record"},
  };
  for (const TableDamage& damage : damages) {
    SCOPED_TRACE(damage.name);
    PieceTable table = place.table;
    damage.change(table);
    const std::string damaged = temp / "damaged.bin";
    std::filesystem::copy_file(installer, damaged, std::filesystem::copy_options::overwrite_existing);
    replace_table(damaged, place.at, encode_piece_table(table.records));
    const RunResult verified = run_pack({"verify", damaged});
    EXPECT_EQ(verified.exit_status, 1);
    EXPECT_TRUE(verified.stderr_text.starts_with("telo-pack: error: " + damaged + ": " + damage.message))
        << verified.stderr_text;
    const Json document = run_pack_json({"verify", "--json", damaged}, 1);
    ASSERT_GE(document["faults"].size(), 1u) << document["faults"];
    EXPECT_EQ(document["faults"][0]["check"], "piece_table");
    EXPECT_TRUE(document["faults"][0]["message"].get<std::string>().starts_with(damage.message));
    // What the installer writes never depends on the table.
    const RunResult extracted = run_pack({"extract", damaged, temp / "out"});
    EXPECT_EQ(extracted.exit_status, 0) << extracted.stderr_text;
    EXPECT_EQ(compare_trees(piece_files(), read_tree(temp / "out")), "");
    std::filesystem::remove_all(temp / "out");
  }
}

TEST_F(PieceTableTest, VerifyAcceptsOnlyAWholeTableAfterTheLastRecord) {
  const std::string installer = build("setup.bin", {"--level", "fast"});
  const TablePlace place = table_of(installer);
  const std::string image = read_file(installer);
  const std::string table_bytes = image.substr(place.at);
  struct Case {
    const char* name;
    std::string tail;  // what follows the last record
    std::string message;
    std::string check;
  };
  std::string broken = table_bytes;
  broken[30] = static_cast<char>(broken[30] ^ 1);
  const Case cases[] = {
      {"the table and more", table_bytes + "xyz",
       "the payload does not reach the end of the file: 3 bytes follow the piece table", "payload_end"},
      {"a table failing its CRC", broken,
       "the piece table after the last record is damaged: it fails its CRC or its rules (" +
           std::to_string(table_bytes.size()) + " bytes)",
       "piece_table"},
      {"the table cut short", table_bytes.substr(0, table_bytes.size() - 1),
       "the piece table after the last record is damaged: it fails its CRC or its rules (" +
           std::to_string(table_bytes.size() - 1) + " bytes)",
       "piece_table"},
      {"other bytes", "TELOPCS", "the payload does not reach the end of the file: 7 bytes follow the last record",
       "payload_end"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(temp / "tail.bin", image.substr(0, place.at) + c.tail);
    const RunResult verified = run_pack({"verify", temp / "tail.bin"});
    EXPECT_EQ(verified.exit_status, 1);
    EXPECT_EQ(verified.stderr_text, "telo-pack: error: " + (temp / "tail.bin") + ": " + c.message + "\n");
    const Json document = run_pack_json({"verify", "--json", temp / "tail.bin"}, 1);
    ASSERT_EQ(document["faults"].size(), 1u) << document["faults"];
    EXPECT_EQ(document["faults"][0]["check"], c.check);
  }
}

TEST_F(PieceTableTest, TheInstallerInstallsExactlyAsWithoutTheTable) {
  const std::string with_table = build("table.bin", {"--level", "fast", "--pieces", "1"});
  const std::string without = build("plain.bin", {"--level", "fast", "--pieces", "1"});
  // The same records, without the table.
  write_file(without, read_file(with_table).substr(0, table_of(with_table).at));
  const std::string target = temp / "installed";
  DialogueResult first = install_by_dialogue(with_table, target);
  ASSERT_FALSE(first.timed_out) << first.stderr_text;
  EXPECT_TRUE(first.extracted) << first.stderr_text;
  const std::vector<TreeFile> first_tree = read_tree(target);
  EXPECT_EQ(compare_trees(piece_files(), first_tree), "");
  std::filesystem::remove_all(target);
  DialogueResult second = install_by_dialogue(without, target);
  EXPECT_EQ(first.exit_status, second.exit_status);
  EXPECT_EQ(first.stderr_text, second.stderr_text);
  EXPECT_EQ(first.answers, second.answers);
  EXPECT_EQ(compare_trees(first_tree, read_tree(target)), "");

  const RunResult extracted = run_pack({"extract", with_table, temp / "out"});
  EXPECT_EQ(extracted.exit_status, 0) << extracted.stderr_text;
  EXPECT_EQ(compare_trees(piece_files(), read_tree(temp / "out")), "");
}

TEST_F(PieceTableTest, PieceSizesOutsideTheRangeAreUsageErrors) {
  for (const char* size : {"0", "65", "512K", "1028K", "100000K", "2M", "", "on", "-1"}) {
    const RunResult result = run_pack({"build", "-o", temp / "x.bin", temp / "app", "--pieces", size});
    EXPECT_EQ(result.exit_status, 2) << size;
    EXPECT_TRUE(result.stderr_text.starts_with("telo-pack build: --pieces wants off, or a size from 1 to 64 MiB"))
        << size << ": " << result.stderr_text;
  }
  EXPECT_FALSE(std::filesystem::exists(temp / "x.bin"));
}

}  // namespace
}  // namespace telo::testing
