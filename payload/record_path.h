#pragma once

// How a record's path is cut up: into the components the file system
// resolves, into the directories its file goes into, and into the entry it
// names and the directory holding that entry. The installer, its tree
// model and the packer's checks all cut paths here, so they agree on them.

#include <string_view>
#include <vector>

namespace telo {

// Both '/' and '\\' end a component when the directory part of a path is
// cut off; only '/' separates components on the disk.
inline bool is_path_separator(char c) { return c == '/' || c == '\\'; }

// The components of a path that name something, as the file system
// resolves it: empty ones (from "//") and "." fold away; ".." is kept.
std::vector<std::string_view> path_components(std::string_view path);

// The directories a record's file goes into: its path up to the last '/'
// or '\\' (nothing when there is none). So "p\\q" makes a directory "p"
// and a file "p\\q" beside it, since only '/' separates on the disk, and a
// path ending in a separator only loses that separator.
std::string_view directory_part(std::string_view rel_path);

// A path cut at its last '/', as the file system looks it up: the entry
// `name` in the directory `directories` leads to. `directories` keeps that
// '/' ("a/b/c" is "a/b/" and "c"); without a '/' it is empty, and a path
// ending in '/' has an empty name.
struct PathSplit {
  std::string_view directories;
  std::string_view name;
};

PathSplit split_last_component(std::string_view path);

// True for a last component that names no entry of its directory: empty
// (the path ends in '/'), "." or "..". Such a path names a directory
// itself, so no file can be made there and no entry removed.
bool names_no_entry(std::string_view name);

}  // namespace telo
