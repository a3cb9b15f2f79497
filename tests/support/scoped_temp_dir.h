#pragma once

#include <string>

namespace telo::testing {

// A fresh directory under /tmp, removed with everything in it at scope end.
struct ScopedTempDir {
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  std::string path;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Whole-file helpers for test fixtures.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);

}  // namespace telo::testing
