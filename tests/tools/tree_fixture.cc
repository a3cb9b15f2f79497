#include "tests/tools/tree_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "tests/support/scoped_temp_dir.h"

namespace telo::testing {

namespace fs = std::filesystem;

std::string random_bytes(std::size_t count, unsigned variant) {
  std::mt19937 engine(variant);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(engine() & 0xFF);
  return bytes;
}

namespace {

std::string text_of_size(std::size_t size, const std::string& line) {
  std::string text;
  for (int n = 0; text.size() < size; ++n) text += line + " " + std::to_string(n) + "\n";
  text.resize(size);
  return text;
}

}  // namespace

std::vector<TreeFile> sample_app_files() {
  return {
      {"telolnx", "#!/bin/sh\necho started\n", 0755, 1683063373},
      {"TELOINS.TXT", text_of_size(3000, "installation notes"), 0644, 1600000000},
      {"empty.dat", "", 0600, 1500000000},
      {"program/telo20.dat", random_bytes(50000, 1), 0644, 1650000000},
      {"program/window.txt", text_of_size(8192, "exactly one window"), 0640, 1650000001},
      {"program/two-windows-and-one.txt", text_of_size(16385, "two windows and a byte"), 0444, 1650000002},
      {"program/bin/tool", text_of_size(40000, "tool binary stand-in") + random_bytes(3000, 2), 0750, 1234567890},
      {"program/deep/er/still/leaf.txt", "leaf\n", 0664, 1000000000},
      {"program/a-b", "sorts before program/a/...\n", 0644, 1400000000},
      {"program/a/z", "z\n", 0644, 1400000001},
  };
}

std::vector<TreeFile> sample_jre_files() {
  return {
      {"bin/java", "#!/bin/sh\necho java\n", 0755, 1300000000},
      {"lib/rt.jar", random_bytes(20000, 3), 0644, 1300000001},
      {"lib/security/java.policy", text_of_size(9000, "grant permission"), 0644, 1300000002},
  };
}

void make_tree(const std::string& root, const std::vector<TreeFile>& files) {
  for (const TreeFile& file : files) {
    fs::path path = fs::path(root) / file.path;
    fs::create_directories(path.parent_path());
    write_file(path.string(), file.contents);
    if (::chmod(path.c_str(), file.mode) != 0) throw std::runtime_error("chmod " + path.string());
    timespec times[2] = {{file.mtime, 0}, {file.mtime, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throw std::runtime_error("utimensat");
  }
}

std::vector<TreeFile> read_tree(const std::string& root) {
  std::vector<TreeFile> files;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (!item.is_regular_file()) continue;
    struct stat info {};
    ::stat(item.path().c_str(), &info);
    TreeFile file;
    file.path = fs::relative(item.path(), root).string();
    file.contents = read_file(item.path().string());
    file.mode = info.st_mode & 07777;
    file.mtime = info.st_mtim.tv_sec;
    files.push_back(std::move(file));
  }
  std::sort(files.begin(), files.end(), [](const TreeFile& a, const TreeFile& b) { return a.path < b.path; });
  return files;
}

std::string compare_trees(const std::vector<TreeFile>& expected_files, const std::vector<TreeFile>& actual) {
  std::vector<TreeFile> expected = expected_files;
  std::sort(expected.begin(), expected.end(), [](const TreeFile& a, const TreeFile& b) { return a.path < b.path; });
  std::size_t n = std::max(expected.size(), actual.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (i >= expected.size()) return "unexpected file " + actual[i].path;
    if (i >= actual.size()) return "missing file " + expected[i].path;
    const TreeFile& e = expected[i];
    const TreeFile& a = actual[i];
    if (e.path != a.path) return "expected " + e.path + ", found " + a.path;
    if (e.contents != a.contents) return e.path + ": contents differ";
    if (e.mode != a.mode) return e.path + ": mode " + std::to_string(a.mode) + " instead of " + std::to_string(e.mode);
    if (e.mtime != a.mtime) return e.path + ": mtime " + std::to_string(a.mtime) + " instead of " + std::to_string(e.mtime);
  }
  return "";
}

std::vector<TreeFile> with_prefix(std::vector<TreeFile> files, const std::string& prefix) {
  for (TreeFile& file : files) file.path = prefix + file.path;
  return files;
}

}  // namespace telo::testing
