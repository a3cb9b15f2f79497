// Keys and signatures shared with Debian's minisign both ways: what one
// signs, the other verifies, and each signs with the other's secret keys,
// sealed with a passphrase or not.

#include <gtest/gtest.h>

#include "tests/tools/pack_fixture.h"
#include "tests/tools/sign_fixture.h"

namespace telo::testing {
namespace {

using SignInteropTest = SignedInstallerTest;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void expect_minisign_verifies(const std::string& installer, const std::string& public_key,
                              const std::string& file_name) {
  RunResult result = run_minisign({"-Vm", installer, "-p", public_key});
  EXPECT_EQ(result.exit_status, 0) << result.stdout_text << result.stderr_text;
  EXPECT_TRUE(has(result.stdout_text, "Signature and comment signature verified")) << result.stdout_text;
  EXPECT_TRUE(has(result.stdout_text, "\tfile:" + file_name + "\thashed")) << result.stdout_text;
}

void expect_telo_verifies(const std::string& installer, const std::string& public_key) {
  RunResult result = run_pack({"verify", "--key", public_key, installer});
  EXPECT_EQ(result.exit_status, 0) << result.stderr_text;
  EXPECT_TRUE(has(result.stdout_text, "signature good, key ID " + key_id_in_comment(public_key) + "\n"))
      << result.stdout_text;
  EXPECT_TRUE(has(result.stdout_text, "trusted comment: timestamp:")) << result.stdout_text;
  EXPECT_TRUE(has(result.stdout_text, "10 records verified")) << result.stdout_text;
}

// Passphrases with spaces and non-ASCII bytes pass through both programs alike.
const char* const kPassphrases[] = {"", "correct horse battery st\xC3\xA4ple"};

TEST_F(SignInteropTest, TeloPackKeysSignWhatMinisignVerifies) {
  for (const std::string passphrase : kPassphrases) {
    SCOPED_TRACE(passphrase.empty() ? "without a passphrase" : "with a passphrase");
    telo_keygen("telo", passphrase);
    const std::string input = passphrase.empty() ? "" : passphrase + "\n";
    const std::string built = temp / "built.bin";
    RunResult result = run_pack_input({"build", "-o", built, app, "--sign", temp / "telo.key"}, input);
    ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
    expect_minisign_verifies(built, temp / "telo.pub", "built.bin");
    expect_telo_verifies(built, temp / "telo.pub");

    result = run_pack_input({"sign", temp / "telo.key", installer}, input);
    ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
    EXPECT_TRUE(has(result.stdout_text, "signed with key ID " + key_id_in_comment(temp / "telo.pub")))
        << result.stdout_text;
    expect_minisign_verifies(installer, temp / "telo.pub", "setup.bin");
    ASSERT_EQ(std::remove((temp / "telo.pub").c_str()) | std::remove((temp / "telo.key").c_str()), 0);
  }
}

// minisign seals its keys at scrypt's full cost: the sealed case takes a
// few seconds for each of its three derivations.
TEST_F(SignInteropTest, MinisignKeysSignWhatTeloPackVerifiesAndSignWithTeloPack) {
  for (const std::string passphrase : kPassphrases) {
    SCOPED_TRACE(passphrase.empty() ? "without a passphrase" : "with a passphrase");
    minisign_keygen("mini", passphrase);
    const std::string input = passphrase.empty() ? "" : passphrase + "\n";
    RunResult result = run_minisign({"-Sm", installer, "-s", temp / "mini.key"}, input);
    ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
    expect_telo_verifies(installer, temp / "mini.pub");

    const std::string copy = temp / "copy.bin";
    write_file(copy, read_file(installer));
    result = run_pack_input({"sign", temp / "mini.key", copy}, input);
    ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
    expect_minisign_verifies(copy, temp / "mini.pub", "copy.bin");
    ASSERT_EQ(std::remove((temp / "mini.pub").c_str()) | std::remove((temp / "mini.key").c_str()), 0);
  }
}

TEST_F(SignInteropTest, MinisignSignsWithTeloPackKeys) {
  for (const std::string passphrase : kPassphrases) {
    SCOPED_TRACE(passphrase.empty() ? "without a passphrase" : "with a passphrase");
    telo_keygen("telo", passphrase);
    RunResult result =
        run_minisign({"-Sm", installer, "-s", temp / "telo.key"}, passphrase.empty() ? "" : passphrase + "\n");
    ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
    expect_telo_verifies(installer, temp / "telo.pub");
    expect_minisign_verifies(installer, temp / "telo.pub", "setup.bin");
    ASSERT_EQ(std::remove((temp / "telo.pub").c_str()) | std::remove((temp / "telo.key").c_str()), 0);
  }
}

// A wrong passphrase is refused by both programs for the other's keys.
TEST_F(SignInteropTest, WrongPassphraseIsRefusedForEitherProgramsKeys) {
  telo_keygen("telo", "right");
  RunResult result = run_minisign({"-Sm", installer, "-s", temp / "telo.key"}, "wrong\n");
  EXPECT_NE(result.exit_status, 0);
  EXPECT_TRUE(has(result.stderr_text, "Wrong password")) << result.stderr_text;
  result = run_pack_input({"sign", temp / "telo.key", installer}, "wrong\n");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(has(result.stderr_text, "wrong passphrase for this key")) << result.stderr_text;
  EXPECT_EQ(directory_names(temp.path), (std::vector<std::string>{"app", "setup.bin", "telo.key", "telo.pub"}));
}

}  // namespace
}  // namespace telo::testing
