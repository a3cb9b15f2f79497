#pragma once

// Running telo-pack in whole-program tests.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/run_program.h"

namespace telo::testing {

// Where a Debian package of the packer was unpacked (dpkg -x), from
// TELO_PACKAGED_ROOT; empty when the tests run the build tree's programs.
std::string packaged_root();

// The packer under test: the packaged one under packaged_root() when there
// is one, else the build's.
std::string packer_path();

// Runs telo-pack with `args` (SOURCE_DATE_EPOCH unset unless `env` sets it).
RunResult run_pack(const std::vector<std::string>& args, const std::vector<std::string>& env = {});

// Runs telo-pack with `args`, expects exit status `status` (the test fails
// otherwise) and parses its standard output as JSON (which must parse).
nlohmann::json run_pack_json(const std::vector<std::string>& args, int status);

// Names in `dir`, for checking that nothing (not even a temporary) was left.
std::vector<std::string> directory_names(const std::string& dir);

}  // namespace telo::testing
