#pragma once

// Directory trees for the packer's whole-program tests: made with chosen
// contents, modes and times, and compared after a round trip.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace telo::testing {

struct TreeFile {
  std::string path;        // below the tree's root
  std::string contents;
  mode_t mode = 0644;
  std::int64_t mtime = 1600000000;
};

// Deterministic bytes that no compressor can shrink.
std::string random_bytes(std::size_t count, unsigned variant);

// A file set that exercises the record format: nested folders, several
// modes and times, an empty file, an incompressible file, text files of
// exactly 8192 and 16385 bytes (the decoder's window and one past two).
std::vector<TreeFile> sample_app_files();
std::vector<TreeFile> sample_jre_files();

// Writes the files below `root` (parents created), then sets modes and times.
void make_tree(const std::string& root, const std::vector<TreeFile>& files);

// Every regular file below `root`, sorted, with contents, permission bits and mtime.
std::vector<TreeFile> read_tree(const std::string& root);

// Empty when equal; otherwise a description of the first difference.
std::string compare_trees(const std::vector<TreeFile>& expected, const std::vector<TreeFile>& actual);

// Files of `files` placed below `prefix` ("jre/").
std::vector<TreeFile> with_prefix(std::vector<TreeFile> files, const std::string& prefix);

}  // namespace telo::testing
