#include "tests/tools/pack_fixture.h"

#include <algorithm>
#include <filesystem>

namespace telo::testing {

RunResult run_pack(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> argv{TELO_PACK_PATH};
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

}  // namespace telo::testing
