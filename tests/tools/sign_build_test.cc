// telo-pack build --sign: the installer is the same bytes as an unsigned
// build (the signature lies beside it), and the key is opened before any
// building, so a wrong passphrase leaves nothing behind.

#include <gtest/gtest.h>

#include "pack/installer_file.h"
#include "payload/piece_table.h"
#include "tests/tools/pack_fixture.h"
#include "tests/tools/sign_fixture.h"

namespace telo::testing {
namespace {

using SignBuildTest = SignedInstallerTest;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(SignBuildTest, SignedBuildIsByteForByteTheUnsignedOne) {
  telo_keygen("release", "pass");
  const std::string signed_out = temp / "signed.bin";
  RunResult result = run_pack_input(
      {"build", "-o", signed_out, app, "--build-time", "1683063373", "--sign", temp / "release.key"}, "pass\n");
  ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
  EXPECT_EQ(read_file(signed_out), read_file(installer));
  EXPECT_NE(access((installer + ".minisig").c_str(), F_OK), 0);
  EXPECT_TRUE(has(file_line(signed_out + ".minisig", 2), "\tfile:signed.bin\thashed"));
  EXPECT_EQ(run_minisign({"-Vm", signed_out, "-p", temp / "release.pub"}).exit_status, 0);
}

TEST_F(SignBuildTest, WrongPassphraseBuildsNothing) {
  telo_keygen("release", "pass");
  const std::vector<std::string> before = directory_names(temp.path);
  RunResult result =
      run_pack_input({"build", "-o", temp / "out.bin", app, "--sign", temp / "release.key"}, "wrong\n");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(has(result.stderr_text, "wrong passphrase for this key")) << result.stderr_text;
  EXPECT_EQ(directory_names(temp.path), before);

  result = run_pack({"build", "-o", temp / "out.bin", app, "--sign", temp / "missing.key"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(has(result.stderr_text, "missing.key: cannot read the secret key")) << result.stderr_text;
  EXPECT_EQ(directory_names(temp.path), before);
}

TEST_F(SignBuildTest, SignLeavesTheInstallerAsItWas) {
  telo_keygen("release");
  const std::string bytes = read_file(installer);
  RunResult result = run_pack({"sign", temp / "release.key", installer});
  ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
  EXPECT_EQ(read_file(installer), bytes);
  EXPECT_EQ(directory_names(temp.path), (std::vector<std::string>{"app", "release.key", "release.pub", "setup.bin",
                                                                  "setup.bin.minisig"}));
  result = run_pack({"sign", temp / "release.key", temp / "absent.bin"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(has(result.stderr_text, "absent.bin: No such file or directory")) << result.stderr_text;
}

// The piece table lies after the last record, in the file the signature
// covers: a table changed and sealed again no longer matches it.
TEST_F(SignBuildTest, TheSignatureCoversThePieceTable) {
  telo_keygen("release");
  std::string text;
  for (unsigned i = 0; text.size() < (3u << 19); ++i) text += "line " + std::to_string(i * 7919u % 100003u) + "\n";
  write_file(app + "/big.txt", text);
  const std::string out = temp / "pieces.bin";
  RunResult result = run_pack({"build", "-o", out, app, "--level", "fast", "--pieces", "1", "--sign",
                               temp / "release.key"});
  ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
  InstallerFile reader;
  std::string fault;
  ASSERT_TRUE(open_installer(out, &reader, &fault)) << fault;
  ASSERT_EQ(reader.pieces.records.size(), 1u);
  EXPECT_EQ(run_pack({"verify", "--key", temp / "release.pub", out}).exit_status, 0);

  PieceTable table = reader.pieces;
  ++table.records[0].pieces[1].bit_offset;
  const std::vector<std::uint8_t> bytes = encode_piece_table(table.records);
  const std::string image = read_file(out);
  write_file(out, image.substr(0, reader.pieces_at) + std::string(bytes.begin(), bytes.end()));
  result = run_pack({"verify", "--key", temp / "release.pub", out});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(has(result.stderr_text, "pieces.bin: signature does not match the file")) << result.stderr_text;
}

}  // namespace
}  // namespace telo::testing
