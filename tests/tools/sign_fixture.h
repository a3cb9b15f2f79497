#pragma once

// Signing in whole-program tests: an installer built from the sample tree,
// keys made by telo-pack or by Debian's minisign, and minisign run as a
// user would, its passphrase fed through standard input.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo::testing {

// telo-pack with `stdin_text` on its standard input (a pipe).
RunResult run_pack_input(const std::vector<std::string>& args, const std::string& stdin_text);

RunResult run_minisign(const std::vector<std::string>& args, const std::string& stdin_text = "");

// The key id minisign wrote in a public key's comment line.
std::string key_id_in_comment(const std::string& public_key_path);

// Line `index` (from 0) of a text file, and the file with that line replaced.
std::string file_line(const std::string& path, std::size_t index);
void replace_file_line(const std::string& path, std::size_t index, const std::string& line);

class SignedInstallerTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // A key pair from telo-pack keygen: with `passphrase` (sealed at the
  // cheap test cost) unless it is empty.
  void telo_keygen(const std::string& name, const std::string& passphrase = "");
  // A key pair from minisign -G (its full scrypt cost when sealed).
  void minisign_keygen(const std::string& name, const std::string& passphrase = "");

  ScopedTempDir temp;
  std::string app;
  std::string installer;  // built from the sample tree, unsigned
};

}  // namespace telo::testing
