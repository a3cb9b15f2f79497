#pragma once

// The checks verify makes of a payload as a whole: each record's place and
// what it does to a fresh directory, then the header's totals against the
// records. Shared by the text and the JSON report.

#include <cstdint>
#include <string>

#include "pack/installer_file.h"
#include "payload/tree_rules.h"

namespace telo {

// What the header promises, added up from the records as they are read,
// and what the records do to a fresh installation directory.
struct Tally {
  PayloadHeader sums{};
  std::uint32_t last_slot = 0;
  TreeModel tree;
};

// Adds one record; false with `fault` naming it when its offset, slot or
// path does not fit the records before it.
bool tally_record(Tally* tally, const PayloadRecord& record, std::string* fault);

// The header's totals against the records, the payload's end against the
// file's, and no second valid header inside. False with `fault` set.
bool check_totals(const Tally& tally, const InstallerFile& reader, std::string* fault);

}  // namespace telo
