// telo-pack keygen: minisign's key files, sealed at minisign's scrypt cost
// by default, never replacing a key unasked, and its passphrase asked
// twice at a terminal or taken from standard input.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "pack/minisign_format.h"
#include "tests/tools/pack_fixture.h"
#include "tests/tools/sign_fixture.h"

namespace telo::testing {
namespace {

using KeygenTest = SignedInstallerTest;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

unsigned mode_of(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

// The default key costs scrypt's full price (1 GiB) twice here: once to
// seal it, once for minisign to open it.
TEST_F(KeygenTest, DefaultKeyIsSealedAtMinisignsCostAndMinisignSignsWithIt) {
  RunResult result = run_pack_input({"keygen", "-p", temp / "k.pub", "-s", temp / "k.key"}, "open sesame\n");
  ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
  EXPECT_TRUE(has(result.stdout_text, "key ID " + key_id_in_comment(temp / "k.pub"))) << result.stdout_text;
  EXPECT_EQ(mode_of(temp / "k.key"), 0600u);
  EXPECT_EQ(mode_of(temp / "k.pub"), 0644u);
  MinisignSecretKeyFile file;
  std::string fault;
  ASSERT_TRUE(parse_secret_key(read_file(temp / "k.key"), &file, &fault)) << fault;
  EXPECT_TRUE(file.encrypted);
  EXPECT_EQ(file.kdf_opslimit, 33554432u);
  EXPECT_EQ(file.kdf_memlimit, 1073741824u);

  result = run_minisign({"-Sm", installer, "-s", temp / "k.key"}, "open sesame\n");
  ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
  result = run_pack({"verify", "--key", temp / "k.pub", installer});
  EXPECT_EQ(result.exit_status, 0) << result.stderr_text;
}

TEST_F(KeygenTest, ExistingKeyFilesAreKeptUnlessForced) {
  for (const char* existing : {"k.pub", "k.key"}) {
    SCOPED_TRACE(existing);
    const std::string other = std::string(existing) == "k.pub" ? "k.key" : "k.pub";
    write_file(temp / existing, "keep me\n");
    RunResult result =
        run_pack({"keygen", "-p", temp / "k.pub", "-s", temp / "k.key", "--without-passphrase"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_TRUE(has(result.stderr_text, temp / existing + ": already exists; give --force to replace it"))
        << result.stderr_text;
    EXPECT_EQ(read_file(temp / existing), "keep me\n");
    EXPECT_NE(access((temp / other).c_str(), F_OK), 0);

    result = run_pack({"keygen", "-p", temp / "k.pub", "-s", temp / "k.key", "--without-passphrase", "--force"});
    EXPECT_EQ(result.exit_status, 0) << result.stderr_text;
    EXPECT_EQ(file_line(temp / "k.pub", 0).substr(0, 39), "untrusted comment: minisign public key ");
    EXPECT_EQ(mode_of(temp / "k.key"), 0600u);
    ASSERT_EQ(std::remove((temp / "k.pub").c_str()) | std::remove((temp / "k.key").c_str()), 0);
  }
}

TEST_F(KeygenTest, UnusablePassphrasesAreRefusedBeforeAnyFile) {
  const struct {
    const char* input;
    const char* message;
  } cases[] = {
      {"", "no passphrase: standard input ended before a line"},
      {"\n", "an empty passphrase protects nothing"},
      {"\r\n", "an empty passphrase protects nothing"},
  };
  for (const auto& c : cases) {
    RunResult result = run_pack_input({"keygen", "-p", temp / "k.pub", "-s", temp / "k.key"}, c.input);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_TRUE(has(result.stderr_text, c.message)) << result.stderr_text;
    EXPECT_EQ(directory_names(temp.path), (std::vector<std::string>{"app", "setup.bin"}));
  }
}

RunResult run_pack_on_terminal(const std::vector<std::string>& args, const std::string& typed) {
  std::vector<std::string> argv{TELO_PACK_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.use_pty = true;
  options.stdin_text = typed;
  return run_program(argv, options);
}

TEST_F(KeygenTest, TerminalIsAskedTwiceAndTheAnswersMustAgree) {
  const std::vector<std::string> keygen{"keygen", "-p", temp / "k.pub", "-s", temp / "k.key",
                                        "--weak-kdf-for-tests"};
  RunResult result = run_pack_on_terminal(keygen, "first\nsecond\n");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(has(result.stdout_text, "the two passphrases differ")) << result.stdout_text;
  EXPECT_EQ(directory_names(temp.path), (std::vector<std::string>{"app", "setup.bin"}));

  result = run_pack_on_terminal(keygen, "same\nsame\n");
  ASSERT_EQ(result.exit_status, 0) << result.stdout_text;
  EXPECT_TRUE(has(result.stdout_text, "Passphrase for the new secret key: ")) << result.stdout_text;
  EXPECT_TRUE(has(result.stdout_text, "Passphrase again: ")) << result.stdout_text;

  // Signing asks once, at the terminal too.
  result = run_pack_on_terminal({"sign", temp / "k.key", installer}, "same\n");
  EXPECT_EQ(result.exit_status, 0) << result.stdout_text;
  EXPECT_TRUE(has(result.stdout_text, "Passphrase for " + temp / "k.key" + ": ")) << result.stdout_text;
  EXPECT_EQ(run_minisign({"-Vm", installer, "-p", temp / "k.pub"}).exit_status, 0);
}

TEST_F(KeygenTest, SigningCommandsRefuseBadUsageWith2) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"keygen", "-p", "a.pub"}, "wants -p PUB and -s SEC"},
      {{"keygen", "-p", "same", "-s", "same"}, "PUB and SEC name the same file"},
      {{"keygen", "-p", "a.pub", "-s", "a.key", "--shiny"}, "unknown argument or missing value: --shiny"},
      {{"sign", "a.key"}, "wants SEC and INSTALLER"},
      {{"verify", "--signature", "x.minisig", "setup.bin"}, "--signature wants --key PUB"},
      {{"verify", "--key"}, "unknown option or missing value: --key"},
      {{"build", "-o", "x.bin", "app", "--sign"}, "unknown option or missing value: --sign"},
  };
  for (const auto& c : cases) {
    RunResult result = run_pack(c.args);
    EXPECT_EQ(result.exit_status, 2) << c.message;
    EXPECT_TRUE(has(result.stderr_text, c.message)) << result.stderr_text;
  }
  for (const char* command : {"keygen", "sign", "verify", "build"}) {
    RunResult result = run_pack({command, "--help"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(has(result.stdout_text, command == std::string("build") ? "--sign SEC" : "minisign"))
        << result.stdout_text;
  }
}

}  // namespace
}  // namespace telo::testing
