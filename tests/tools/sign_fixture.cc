#include "tests/tools/sign_fixture.h"

#include <sstream>

#include "tests/tools/pack_fixture.h"
#include "tests/tools/tree_fixture.h"

namespace telo::testing {

namespace {

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

RunResult run_pack_input(const std::vector<std::string>& args, const std::string& stdin_text) {
  std::vector<std::string> argv{TELO_PACK_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.stdin_text = stdin_text;
  options.unset_env = {"SOURCE_DATE_EPOCH"};
  options.timeout_seconds = 300;
  return run_program(argv, options);
}

RunResult run_minisign(const std::vector<std::string>& args, const std::string& stdin_text) {
  std::vector<std::string> argv{"/usr/bin/minisign"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.stdin_text = stdin_text;
  options.timeout_seconds = 300;
  return run_program(argv, options);
}

std::string key_id_in_comment(const std::string& public_key_path) {
  const std::string comment = file_line(public_key_path, 0);
  const std::string prefix = "untrusted comment: minisign public key ";
  EXPECT_EQ(comment.substr(0, prefix.size()), prefix) << comment;
  // minisign writes the ID without leading zeros; telo-pack always shows 16 digits.
  std::string id = comment.substr(std::min(prefix.size(), comment.size()));
  if (id.size() < 16) id.insert(0, 16 - id.size(), '0');
  return id;
}

std::string file_line(const std::string& path, std::size_t index) {
  std::vector<std::string> lines = split_lines(read_file(path));
  EXPECT_LT(index, lines.size()) << path;
  return index < lines.size() ? lines[index] : std::string();
}

void replace_file_line(const std::string& path, std::size_t index, const std::string& line) {
  std::vector<std::string> lines = split_lines(read_file(path));
  ASSERT_LT(index, lines.size()) << path;
  lines[index] = line;
  std::string text;
  for (const std::string& each : lines) text += each + "\n";
  write_file(path, text);
}

void SignedInstallerTest::SetUp() {
  ASSERT_EQ(run_minisign({"-v"}).exit_status, 0) << "Debian's minisign is needed (scripts/setup.sh)";
  app = temp / "app";
  make_tree(app, sample_app_files());
  installer = temp / "setup.bin";
  RunResult result = run_pack({"build", "-o", installer, app, "--build-time", "1683063373"});
  ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
}

void SignedInstallerTest::telo_keygen(const std::string& name, const std::string& passphrase) {
  std::vector<std::string> args{"keygen", "-p", temp / (name + ".pub"), "-s", temp / (name + ".key")};
  if (passphrase.empty()) args.push_back("--without-passphrase");
  else args.push_back("--weak-kdf-for-tests");
  RunResult result = run_pack_input(args, passphrase.empty() ? "" : passphrase + "\n");
  ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
}

void SignedInstallerTest::minisign_keygen(const std::string& name, const std::string& passphrase) {
  std::vector<std::string> args{"-G", "-p", temp / (name + ".pub"), "-s", temp / (name + ".key")};
  if (passphrase.empty()) args.push_back("-W");
  // minisign asks twice, each a line of its standard input.
  RunResult result = run_minisign(args, passphrase.empty() ? "" : passphrase + "\n" + passphrase + "\n");
  ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
}

}  // namespace telo::testing
