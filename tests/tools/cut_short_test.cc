// telo-pack list, verify and extract on an installer that is cut short while
// they read it (a release being replaced, a network file system): a message
// naming the record, status 1, and whatever was printed before kept; never
// a signal. The file is cut by a preloaded library at the moment the tool
// reads a chosen record header.

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "payload/format.h"
#include "tests/support/payload_builder.h"
#include "tests/support/run_program.h"
#include "tests/tools/pack_fixture.h"
#include "tests/tools/sign_fixture.h"

namespace telo {
namespace {

using testing::RunResult;

constexpr const char* kLoader = "/lib64/ld-linux-x86-64.so.2";

// `text` without its last `count` lines.
std::string without_last_lines(std::string text, int count) {
  for (int k = 0; k < count && !text.empty(); ++k) {
    const std::size_t end = text.size() > 1 ? text.rfind('\n', text.size() - 2) : std::string::npos;
    text.resize(end == std::string::npos ? 0 : end + 1);
  }
  return text;
}

struct CutCase {
  const char* name;
  std::vector<std::string> command;  // after telo-pack, the installer's place marked by "@"
  int read_time;                     // the how-manyth read of the record's header cuts the file
  bool into_header;                  // cut 10 bytes into its header, else into its stored bytes
  const char* fault;                 // after "telo-pack: error: INSTALLER: "
  int lines_lost;                    // standard output is the intact run's less this many last lines (-1: any)
};

class CutShortTest : public testing::SignedInstallerTest {
 protected:
  void SetUp() override {
#if !defined(TELO_CUT_ON_READ_PATH)
    GTEST_SKIP() << "a native build without sanitizers preloads the library that cuts the file";
#else
    if (std::string(TELO_ARCH) != "x86_64" || ::access(kLoader, X_OK) != 0) GTEST_SKIP() << "needs " << kLoader;
    SignedInstallerTest::SetUp();
    telo_keygen("release");
    // A small stored file, then a large one whose pages a mapping would
    // lose, then a compressed one.
    std::string large(3000000, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 2654435761u >> 24);
    payload = testing::build_payload({{"a.txt", "first file", METHOD_STORED, 1683063373, 0100644},
                                      {"big.bin", large, METHOD_STORED, 1683063373, 0100644},
                                      {"c.txt", std::string(50000, 'c'), METHOD_COMPRESSED, 1683063373, 0100644}});
    original = temp / "original.bin";
    payload_at = ((testing::installer_image_size() + 1023) / 1024 + 1) * 1024;
    testing::write_installer(original, payload.bytes(), payload_at);
    RunResult sign = testing::run_pack({"sign", temp / "release.key", original});
    ASSERT_EQ(sign.exit_status, 0) << sign.stderr_text;
#endif
  }

  // A fresh copy of the signed installer at `copy`.
  void fresh_copy(const std::string& copy) {
    testing::write_file(copy, testing::read_file(original));
    testing::write_file(copy + ".minisig", testing::read_file(original + ".minisig"));
  }

  // telo-pack through the loader, `command` on a fresh copy of the
  // installer that the library cuts as the case says.
  RunResult run_cut(const CutCase& c, const std::string& copy) {
#if defined(TELO_CUT_ON_READ_PATH)
    fresh_copy(copy);
    const std::uint64_t header_at = payload_at + kPayloadHeaderSize + payload.record_starts[1];
    const std::uint64_t header_length = load_u32(payload.records.data() + payload.record_starts[1]);
    const std::uint64_t cut = c.into_header ? header_at + 10 : header_at + header_length + 1000000;
    std::vector<std::string> argv{kLoader, "--preload", TELO_CUT_ON_READ_PATH, TELO_PACK_PATH};
    for (const std::string& word : c.command) argv.push_back(word == "@" ? copy : word);
    testing::RunOptions options;
    options.env = {"TELO_TEST_CUT_FILE=" + copy, "TELO_TEST_CUT_AT_READ=" + std::to_string(header_at),
                   "TELO_TEST_CUT_ON_TIME=" + std::to_string(c.read_time), "TELO_TEST_CUT_TO=" + std::to_string(cut)};
    return testing::run_program(argv, options);
#else
    (void)c;
    (void)copy;
    return {};
#endif
  }

  testing::BuiltPayload payload;
  std::string original;
  std::uint64_t payload_at = 0;
};

TEST_F(CutShortTest, EachToolSaysTheFileWasCutShortAndKeepsWhatItPrinted) {
  const std::string pub = temp / "release.pub";
  const CutCase cases[] = {
      // verify reads each header just before that record's stored bytes.
      {"verify --key", {"verify", "--key", pub, "@"}, 1, false,
       "record 2 (big.bin): the file was cut short while it was read", 1},
      {"list", {"list", "@"}, 1, true, "record 2: the file was cut short while it was read", 2},
      {"extract", {"extract", "@", temp / "out"}, 1, false,
       "record 2 (big.bin): the file was cut short while it was read", -1},
  };
  for (const CutCase& c : cases) {
    const std::string copy = temp / "setup.bin";
    std::vector<std::string> intact_args;
    for (const std::string& word : c.command) intact_args.push_back(word == "@" ? copy : word);
    fresh_copy(copy);
    const RunResult intact = testing::run_pack(intact_args);
    ASSERT_EQ(intact.exit_status, 0) << c.name << ": " << intact.stderr_text;
    const RunResult result = run_cut(c, copy);
    EXPECT_EQ(result.signal, 0) << c.name;
    EXPECT_EQ(result.exit_status, 1) << c.name;
    EXPECT_EQ(result.stderr_text, "telo-pack: error: " + copy + ": " + c.fault + "\n") << c.name;
    if (c.lines_lost >= 0) {
      EXPECT_FALSE(result.stdout_text.empty()) << c.name;
      EXPECT_EQ(result.stdout_text, without_last_lines(intact.stdout_text, c.lines_lost)) << c.name;
    }
  }
}

}  // namespace
}  // namespace telo
