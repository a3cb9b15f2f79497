#pragma once

// The checks verify makes of a payload as a whole: what each record does to
// a fresh directory and its place, then the header's totals against the
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

// What the record does to a fresh installation directory, checked where the
// installer creates its directories and file: after its header, before its
// stored bytes. False with `fault` naming it when the installer could not.
bool apply_record_tree(Tally* tally, const PayloadRecord& record, std::string* fault);

// Adds one record to the sums; false with `fault` naming it when its offset
// or slot does not fit the records before it. The installer reads neither,
// so such a fault comes after every fault the installer would meet.
bool tally_record(Tally* tally, const PayloadRecord& record, std::string* fault);

// The record's entry in the piece table, if it has one, against its stream
// (check_record_pieces). The installer does not read the table, so such a
// fault, like a record's place, comes after every fault it would meet.
bool check_record_table(InstallerFile* installer, const PayloadRecord& record, std::string* fault);

// The header's totals against the records, the payload's end (the last
// record, or a piece table that reads) against the file's, and no second
// valid header inside. False with `fault` set.
bool check_totals(const Tally& tally, const InstallerFile& reader, std::string* fault);

}  // namespace telo
