#include "pack/inspect.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "pack/installer_file.h"
#include "pack/name_quoting.h"
#include "pack/payload_tally.h"
#include "pack/program_arch.h"
#include "pack/report.h"
#include "payload/header_fields.h"
#include "payload/locate.h"
#include "payload/tree_rules.h"

namespace telo {

namespace {

std::string utc_time(std::int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm stamp{};
  char text[32] = "?";
  if (gmtime_r(&t, &stamp) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &stamp);
  return text;
}

const char* method_name(std::uint32_t method) {
  if (method == METHOD_STORED) return "stored";
  if (method == METHOD_REMOVE) return "remove";
  return "compressed";
}

void print_header(const InstallerFile& reader) {
  const PayloadHeader& h = reader.header;
  std::printf("product:         %.*s\n", static_cast<int>(header_text(h.product_name).size()), h.product_name);
  std::printf("version:         %.*s\n", static_cast<int>(header_text(h.version).size()), h.version);
  std::printf("description:     %.*s\n", static_cast<int>(header_text(h.description).size()), h.description);
  std::printf("hardware family: %.*s\n", static_cast<int>(header_text(h.hardware_family).size()),
              h.hardware_family);
  std::printf("java runtime:    %.*s\n", static_cast<int>(header_text(h.java_runtime).size()), h.java_runtime);
  std::printf("build time:      %s UTC (%" PRId32 ")\n", utc_time(h.build_time).c_str(), h.build_time);
  std::printf("program:         %s\n", program_arch_at(reader.file.fd).c_str());
  std::printf("payload offset:  %" PRIu64 "\n", reader.payload_offset);
  std::printf("records:         %" PRIu32 " (size %" PRIu32 ", stored %" PRIu32 ", headers %" PRIu32 ")\n",
              h.file_count, h.total_size, h.total_stored_size, h.total_header_size);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (h.slot_file_count[slot] == 0 && h.slot_size[slot] == 0) continue;
    std::string label = std::to_string(slot) + ":";
    std::printf("slot %-3s         %" PRIu32 " records, %" PRIu32 " bytes\n", label.c_str(), h.slot_file_count[slot],
                h.slot_size[slot]);
  }
}

void print_record(const PayloadRecord& record) {
  const FileRecord& r = record.fields;
  if (r.method == METHOD_REMOVE) {
    std::printf("%-10s %10s %10s %6s %7s %-19s  %s\n", "remove", "-", "-", "-", "-", "-",
                quote_name(record.rel_path).c_str());
    return;
  }
  char ratio[16] = "-";
  if (r.size != 0) std::snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * r.stored_size / r.size);
  std::string mtime = r.mtime == 0 ? std::string("-") : utc_time(r.mtime);
  std::printf("%-10s %10" PRIu32 " %10" PRIu32 " %6s %07o %-19s  %s\n", method_name(r.method), r.size,
              r.stored_size, ratio, static_cast<unsigned>(r.mode), mtime.c_str(), quote_name(record.rel_path).c_str());
}

// After the records, how many pieces each record the table lists has
// (`names`: their quoted paths, in the table's order).
void print_piece_table(const PieceTable& table, const std::vector<std::string>& names) {
  if (table.length == 0) return;
  std::size_t pieces = 0;
  for (const RecordPieces& entry : table.records) pieces += entry.pieces.size();
  std::printf("piece table:     %zu records in %zu pieces (%" PRIu32 " bytes after the last record)\n",
              table.records.size(), pieces, table.length);
  for (std::size_t i = 0; i < table.records.size() && i < names.size(); ++i)
    std::printf("%10zu pieces  %s\n", table.records[i].pieces.size(), names[i].c_str());
}

}  // namespace

bool apply_record_tree(Tally* tally, const PayloadRecord& record, std::string* fault) {
  if (TreeFault problem = tree_apply(&tally->tree, record.fields, record.rel_path); problem != TreeFault::kNone) {
    *fault = record_name(record.index, record.rel_path) + ": " + tree_fault_text(problem);
    return false;
  }
  return true;
}

// The header's counts and totals and each record's place must agree with
// the records themselves; the installer trusts them for its progress and
// space figures, but never stops on them.
bool tally_record(Tally* tally, const PayloadRecord& record, std::string* fault) {
  const FileRecord& r = record.fields;
  const std::string name = record_name(record.index, record.rel_path);
  bool fits = true;
  if (r.record_offset != record.record_offset) {
    *fault = name + ": record_offset " + std::to_string(r.record_offset) + " but it starts at " +
             std::to_string(record.record_offset);
    fits = false;
  } else if (r.target_slot >= static_cast<std::uint32_t>(kSlotCount) || r.target_slot < tally->last_slot) {
    *fault = name + ": slot " + std::to_string(r.target_slot) + " out of slot order";
    fits = false;
  }
  if (r.target_slot >= static_cast<std::uint32_t>(kSlotCount)) return false;
  tally->last_slot = std::max(tally->last_slot, r.target_slot);
  count_record(tally->sums, r);
  return fits;
}

namespace {

// Only a piece table that reads may follow the last record, and nothing
// after it.
bool check_payload_end(const InstallerFile& reader, std::string* fault) {
  const std::uint64_t end = reader.next.offset;
  if (end == reader.file_size) return true;
  if (reader.pieces.length != 0 && reader.pieces_at == end) {
    const std::uint64_t after = end + reader.pieces.length;
    if (after == reader.file_size) return true;
    *fault = "the payload does not reach the end of the file: " + std::to_string(reader.file_size - after) +
             " bytes follow the piece table";
    return false;
  }
  std::uint8_t marker[sizeof kPieceTableMarker] = {};
  PayloadSource at{reader.file.fd, end};
  if (payload_read(&at, marker, sizeof marker) == sizeof marker && starts_piece_table(marker)) {
    *fault = "the piece table after the last record is damaged: it fails its CRC or its rules (" +
             std::to_string(reader.file_size - end) + " bytes)";
    return false;
  }
  *fault = "the payload does not reach the end of the file: " + std::to_string(reader.file_size - end) +
           " bytes follow the last record";
  return false;
}

}  // namespace

bool check_record_table(InstallerFile* installer, const PayloadRecord& record, std::string* fault) {
  const RecordPieces* entry = find_record_pieces(installer->pieces, record.index);
  return entry == nullptr || check_record_pieces(installer, record, *entry, fault);
}

bool check_totals(const Tally& tally, const InstallerFile& reader, std::string* fault) {
  const PayloadHeader& h = reader.header;
  const PayloadHeader& s = tally.sums;
  bool same = h.total_size == s.total_size && h.total_stored_size == s.total_stored_size &&
              h.total_header_size == s.total_header_size;
  for (int slot = 0; slot < kSlotCount; ++slot)
    same = same && h.slot_file_count[slot] == s.slot_file_count[slot] && h.slot_size[slot] == s.slot_size[slot];
  if (!same) {
    *fault = "the header's totals or slot counts differ from its records";
    return false;
  }
  if (!check_payload_end(reader, fault)) return false;
  std::uint64_t later = 0;
  if (find_later_payload_header(reader.file.fd, reader.payload_offset, &later)) {
    *fault = "a second valid payload header lies inside the payload, at offset " + std::to_string(later) +
             ": were one byte of the first marker damaged, the installer would take that one";
    return false;
  }
  return true;
}

namespace {

int report_fault(const std::string& path, const std::string& fault) {
  pack_error("%s: %s", path.c_str(), fault.c_str());
  return 1;
}

}  // namespace

int list_installer(const std::string& path) {
  InstallerFile reader;
  std::string fault;
  if (!open_installer(path, &reader, &fault)) return report_fault(path, fault);
  print_header(reader);
  std::printf("%-10s %10s %10s %6s %7s %-19s  %s\n", "method", "size", "stored", "ratio", "mode", "mtime (UTC)",
              "path");
  PayloadRecord record;
  std::vector<std::string> cut_names;
  for (std::uint32_t i = 0; i < reader.header.file_count; ++i) {
    if (!read_payload_record(&reader, i, false, &record, &fault)) {
      std::fflush(stdout);
      return report_fault(path, fault);
    }
    print_record(record);
    if (find_record_pieces(reader.pieces, i) != nullptr) cut_names.push_back(quote_name(record.rel_path));
  }
  print_piece_table(reader.pieces, cut_names);
  return 0;
}

int verify_installer(const std::string& path) {
  InstallerFile reader;
  std::string fault;
  if (!open_installer(path, &reader, &fault)) return report_fault(path, fault);
  // Record by record, as the installer reads them, so that the fault named
  // is the one the installer would stop at; the checks the installer does
  // not make come after, once every record has passed.
  Tally tally;
  PayloadRecord record;
  std::string place_fault, later;
  for (std::uint32_t i = 0; i < reader.header.file_count; ++i) {
    if (!read_payload_record(&reader, i, false, &record, &fault) || !apply_record_tree(&tally, record, &fault) ||
        !check_record_from_file(&reader, record, &fault))
      return report_fault(path, fault);
    if (!tally_record(&tally, record, &later) && place_fault.empty()) place_fault = later;
    if (place_fault.empty() && !check_record_table(&reader, record, &later)) place_fault = later;
  }
  if (!place_fault.empty()) return report_fault(path, place_fault);
  if (!check_totals(tally, reader, &fault)) return report_fault(path, fault);
  std::printf("%s: %" PRIu32 " records verified, payload intact; program for %s\n", path.c_str(),
              reader.header.file_count, program_arch_at(reader.file.fd).c_str());
  return 0;
}

}  // namespace telo
