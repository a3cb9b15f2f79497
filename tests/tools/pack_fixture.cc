#include "tests/tools/pack_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace telo::testing {

std::string packaged_root() {
  const char* root = std::getenv("TELO_PACKAGED_ROOT");
  return root == nullptr ? "" : root;
}

std::string packer_path() {
  const std::string root = packaged_root();
  return root.empty() ? std::string(TELO_PACK_PATH) : root + "/usr/bin/telo-pack";
}

RunResult run_pack(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> argv{packer_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.env = env;
  if (env.empty()) options.unset_env = {"SOURCE_DATE_EPOCH"};
  options.timeout_seconds = 300;
  return run_program(argv, options);
}

std::vector<std::string> directory_names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(dir)) names.push_back(item.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

nlohmann::json run_pack_json(const std::vector<std::string>& args, int status) {
  RunResult result = run_pack(args);
  EXPECT_EQ(result.exit_status, status) << result.stderr_text;
  nlohmann::json document = nlohmann::json::parse(result.stdout_text, nullptr, false);
  EXPECT_FALSE(document.is_discarded()) << result.stdout_text;
  return document;
}

}  // namespace telo::testing
