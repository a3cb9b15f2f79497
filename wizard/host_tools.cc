#include "wizard/host_tools.h"

#include "console/prompt.h"
#include "wizard/install_targets.h"
#include "sysenv/paths.h"
#include "sysenv/process.h"

namespace telo {

char* install_subpath(const char* name) {
  const char* directory = install_targets.directory[0];
  const char* separator = directory[0] == '\0' || ends_with_slash(directory) ? "" : "/";
  return concat_strings(3, directory, separator, name);
}

const char* choose_tool(const char* primary, const char* fallback) {
  return is_directory(primary) == 0 ? primary : fallback;
}

int run_package_tool(const char* word1, const char* word2) {
  // The tool is chosen afresh each time: an earlier install may have brought it.
  const char* tool = choose_tool("/bin/apt-get", "/usr/bin/apt-get");
  const char* yes = auto_mode != 0 ? "-y" : nullptr;
  // The word list ends at the first null, so "-y" simply drops out when not wanted.
  if (word2 == nullptr) return run_command(tool, tool, word1, yes);
  return run_command(tool, tool, word1, word2, yes);
}

}  // namespace telo
