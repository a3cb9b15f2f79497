#pragma once

// Small helpers shared by the states that fit the application into the host.

namespace telo {

// Slot 0 of install_targets joined with `name` ("/" in between unless slot 0
// is empty or already ends in '/'). malloc'd; null when memory runs out.
char* install_subpath(const char* name);

// `primary` when it exists and is not a directory, else `fallback` (untested).
const char* choose_tool(const char* primary, const char* fallback);

// Runs the package tool with one or two words, adding "-y" in automatic mode.
// Returns run_command's result: 0 only for a tool that ran and succeeded.
int run_package_tool(const char* word1, const char* word2 = nullptr);

}  // namespace telo
