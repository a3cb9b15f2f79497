#include "payload/record_path.h"

namespace telo {

std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view part = path.substr(start, slash - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = slash + 1;
  }
  return parts;
}

std::string_view directory_part(std::string_view rel_path) {
  for (std::size_t k = rel_path.size(); k-- > 0;)
    if (is_path_separator(rel_path[k])) return rel_path.substr(0, k);
  return {};
}

PathSplit split_last_component(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {{}, path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

bool names_no_entry(std::string_view name) { return name.empty() || name == "." || name == ".."; }

}  // namespace telo
