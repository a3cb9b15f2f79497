// telo-pack list --json and verify --json: one document that parses, with
// the fields the text shows, and every fault with its record and check.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <map>

#include <cstddef>

#include "pack/installer_file.h"
#include "payload/format.h"
#include "payload/crc16.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/tools/pack_fixture.h"
#include "tests/tools/tree_fixture.h"

namespace telo::testing {
namespace {

using Json = nlohmann::json;

class PackJsonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files = sample_app_files();
    make_tree(temp / "app", files);
    installer = temp / "setup.bin";
    RunResult result = run_pack({"build", "-o", installer, temp / "app", "--build-time", "1683063373", "--product",
                                 "Json Product", "--version", "V9.1", "--remove", "old/gone.txt"});
    ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
    image = read_file(installer);
    InstallerFile reader;
    std::string fault;
    ASSERT_TRUE(open_installer(installer, &reader, &fault)) << fault;
    records_start = reader.records_start;
  }

  // The record of `path` in a list --json document.
  static const Json& record_of(const Json& document, const std::string& path) {
    for (const Json& record : document["records"])
      if (record["path"] == path) return record;
    static const Json none;
    ADD_FAILURE() << path << " not listed";
    return none;
  }

  // An offset inside the stored bytes of `path`'s record.
  std::uint64_t stored_byte_of(const Json& listing, const std::string& path) {
    const Json& record = record_of(listing, path);
    return records_start + record["record_offset"].get<std::uint64_t>() + record["header_length"].get<std::uint64_t>() +
           record["stored_size"].get<std::uint64_t>() / 2;
  }

  std::string damaged_with_flips(const std::vector<std::uint64_t>& offsets) {
    std::string damaged = image;
    for (std::uint64_t at : offsets) damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
    write_file(temp / "damaged.bin", damaged);
    return temp / "damaged.bin";
  }

  ScopedTempDir temp;
  std::vector<TreeFile> files;
  std::string installer;
  std::string image;
  std::uint64_t records_start = 0;
};

TEST_F(PackJsonTest, ListGivesTheHeaderAndEveryRecordWithItsContentsCrc) {
  Json doc = run_pack_json({"list", "--json", installer}, 0);
  EXPECT_EQ(doc["installer"], installer);
  EXPECT_EQ(doc["program"], TELO_ARCH);
  EXPECT_EQ(doc["header"]["product"], "Json Product");
  EXPECT_EQ(doc["header"]["version"], "V9.1");
  EXPECT_EQ(doc["header"]["build_time"], 1683063373);
  EXPECT_EQ(doc["header"]["build_time_utc"], "2023-05-02T21:36:13Z");
  ASSERT_EQ(doc["records"].size(), files.size() + 1);
  EXPECT_EQ(doc["header"]["record_count"], files.size() + 1);

  std::uint64_t sizes = 0;
  for (const TreeFile& file : files) {
    SCOPED_TRACE(file.path);
    const Json& record = record_of(doc, file.path);
    const std::string& data = file.contents;
    EXPECT_EQ(record["size"], data.size());
    EXPECT_EQ(record["mode"].get<unsigned>() & 07777u, file.mode);  // type bits as the record holds them
    EXPECT_EQ(record["mtime"], file.mtime);
    EXPECT_EQ(record["slot"], 0);
    EXPECT_EQ(record["data_crc"], crc16({reinterpret_cast<const std::uint8_t*>(data.data()), data.size()}));
    EXPECT_TRUE(record["method"] == "stored" || record["method"] == "compressed") << record;
    if (record["method"] == "stored") {
      EXPECT_EQ(record["stored_size"], data.size());
    }
    sizes += data.size();
  }
  EXPECT_EQ(record_of(doc, "old/gone.txt")["method"], "remove");
  EXPECT_EQ(doc["header"]["total_size"], sizes);
  EXPECT_EQ(record_of(doc, "program/telo20.dat")["method"], "stored");  // random bytes do not shrink
  EXPECT_EQ(record_of(doc, "TELOINS.TXT")["method"], "compressed");
}

// Pipelines read it with jq, as the README shows.
TEST_F(PackJsonTest, JqReadsTheFirstRecordsPath) {
  if (std::system("command -v jq >/dev/null 2>&1") != 0) GTEST_SKIP() << "jq is not installed (bash scripts/setup.sh)";
  Json doc = run_pack_json({"list", "--json", installer}, 0);
  RunResult jq = run_program({"/bin/sh", "-c", "\"$0\" list --json \"$1\" | jq -r '.records[0].path'",
                              packer_path(), installer});
  EXPECT_EQ(jq.exit_status, 0) << jq.stderr_text;
  EXPECT_EQ(jq.stdout_text, doc["records"][0]["path"].get<std::string>() + "\n");
}

TEST_F(PackJsonTest, VerifyOfAnIntactInstallerSaysIntactWithNoFaults) {
  Json doc = run_pack_json({"verify", installer, "--json"}, 0);
  EXPECT_EQ(doc["result"], "intact");
  EXPECT_EQ(doc["faults"], Json::array());
  EXPECT_EQ(doc["records"], run_pack_json({"list", "--json", installer}, 0)["records"]);
}

// verify --json goes on past a damaged record: each one is named.
TEST_F(PackJsonTest, VerifyNamesEveryDamagedRecordWithItsCheck) {
  Json listing = run_pack_json({"list", "--json", installer}, 0);
  const std::string damaged = damaged_with_flips(
      {stored_byte_of(listing, "TELOINS.TXT"), stored_byte_of(listing, "program/bin/tool")});
  Json doc = run_pack_json({"verify", "--json", damaged}, 1);
  EXPECT_EQ(doc["result"], "damaged");
  ASSERT_EQ(doc["faults"].size(), 2u) << doc["faults"];
  std::map<std::string, Json> by_path;
  for (const Json& fault : doc["faults"]) by_path[fault["record"]["path"]] = fault;
  for (const char* path : {"TELOINS.TXT", "program/bin/tool"}) {
    SCOPED_TRACE(path);
    ASSERT_EQ(by_path.count(path), 1u) << doc["faults"];
    EXPECT_EQ(by_path[path]["check"], "stored_crc");
    EXPECT_EQ(by_path[path]["record"]["index"], record_of(listing, path)["index"]);
    EXPECT_NE(by_path[path]["message"].get<std::string>().find(path), std::string::npos);
  }
}

// Faults are listed in the order the installer meets them, record by
// record: an earlier record's damaged bytes before a later record's damaged
// header, after which nothing can be found.
TEST_F(PackJsonTest, VerifyListsFaultsInTheOrderTheInstallerMeetsThem) {
  Json listing = run_pack_json({"list", "--json", installer}, 0);
  const Json& later = record_of(listing, "program/bin/tool");
  const std::uint64_t later_header = records_start + later["record_offset"].get<std::uint64_t>() + 14;  // its size
  const std::string damaged = damaged_with_flips({stored_byte_of(listing, "TELOINS.TXT"), later_header});
  Json doc = run_pack_json({"verify", "--json", damaged}, 1);
  ASSERT_EQ(doc["faults"].size(), 2u) << doc["faults"];
  EXPECT_EQ(doc["faults"][0]["check"], "stored_crc");
  EXPECT_EQ(doc["faults"][0]["record"]["path"], "TELOINS.TXT");
  EXPECT_EQ(doc["faults"][1]["check"], "record_crc");
  EXPECT_EQ(doc["faults"][1]["record"]["index"], later["index"]);
}

// One damage of each kind, the check it is reported under, and the record
// it names (none for the payload as a whole).
TEST_F(PackJsonTest, EachKindOfDamageIsReportedUnderItsCheck) {
  Json listing = run_pack_json({"list", "--json", installer}, 0);
  const Json& leaf = record_of(listing, "program/deep/er/still/leaf.txt");
  const Json& last = listing["records"].back();
  const std::uint64_t leaf_at = records_start + leaf["record_offset"].get<std::uint64_t>();
  const std::uint64_t last_stored = records_start + last["record_offset"].get<std::uint64_t>() +
                                    last["header_length"].get<std::uint64_t>();
  const std::uint64_t payload_at = listing["payload_offset"];
  struct Case {
    const char* what;
    std::string image;
    const char* check;
    const Json* record;  // the record named, or none
  };
  auto flipped = [&](std::uint64_t at) {
    std::string damaged = image;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
    return damaged;
  };
  const Case kCases[] = {
      {"a byte of a record header's path", flipped(leaf_at + leaf["header_length"].get<std::uint64_t>() - 3),
       "record_crc", &leaf},
      {"the file cut inside the last record's stored bytes", image.substr(0, last_stored + 1), "stored_short", &last},
      {"bytes after the payload", image + "trailing", "payload_end", nullptr},
      {"a byte of the payload header's description", flipped(payload_at + offsetof(PayloadHeader, description) + 2),
       "payload_header", nullptr},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    write_file(temp / "damaged.bin", c.image);
    Json doc = run_pack_json({"verify", "--json", temp / "damaged.bin"}, 1);
    EXPECT_EQ(doc["result"], "damaged");
    ASSERT_EQ(doc["faults"].size(), 1u) << doc["faults"];
    const Json& fault = doc["faults"][0];
    EXPECT_EQ(fault["check"], c.check) << fault;
    if (c.record == nullptr) {
      EXPECT_TRUE(fault["record"].is_null()) << fault;
      continue;
    }
    EXPECT_EQ(fault["record"]["index"], (*c.record)["index"]);
    // A header that passed its CRC names its path.
    if (std::string(c.check) != "record_crc") {
      EXPECT_EQ(fault["record"]["path"], (*c.record)["path"]);
    }
    // Records from a broken one on cannot be found: the list stops there.
    EXPECT_EQ(doc["records"].size(), (*c.record)["index"].get<std::size_t>());
  }
}

// A name that is not UTF-8 still gives a document that parses.
TEST_F(PackJsonTest, ANameThatIsNotUtf8StillParses) {
  make_tree(temp / "odd", {{"caf\xe9.txt", "latin-1 name\n", 0644, 1600000000}});
  RunResult built = run_pack({"build", "-o", temp / "odd.bin", temp / "odd"});
  ASSERT_EQ(built.exit_status, 0) << built.stderr_text;
  Json doc = run_pack_json({"list", "--json", temp / "odd.bin"}, 0);
  ASSERT_EQ(doc["records"].size(), 1u);
  EXPECT_EQ(doc["records"][0]["path"], "caf\xef\xbf\xbd.txt");
}

TEST_F(PackJsonTest, ListOfAFileWithoutPayloadPrintsNothingAndFails) {
  write_file(temp / "plain.txt", std::string(5000, 'x'));
  RunResult result = run_pack({"list", "--json", temp / "plain.txt"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.stdout_text, "");
  EXPECT_NE(result.stderr_text.find("no payload found"), std::string::npos) << result.stderr_text;
  Json doc = run_pack_json({"verify", "--json", temp / "plain.txt"}, 1);
  EXPECT_EQ(doc["faults"][0]["check"], "payload_header");
}

TEST_F(PackJsonTest, JsonDoesNotGoWithASignatureCheck) {
  RunResult result = run_pack({"verify", "--json", "--key", temp / "k.pub", installer});
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.stdout_text, "");
}

}  // namespace
}  // namespace telo::testing
