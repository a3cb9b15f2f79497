#include "pack/inspect_json.h"

#include <cstdio>
#include <ctime>
#include <string_view>

#include <nlohmann/json.hpp>

#include "pack/installer_file.h"
#include "pack/payload_tally.h"
#include "pack/program_arch.h"
#include "pack/report.h"
#include "payload/header_fields.h"
#include "payload/record_reader.h"

namespace telo {

namespace {

using Json = nlohmann::ordered_json;

// Where a fault was found; a fault whose text names no finer check is
// reported as its stage's check.
enum class Stage { kPayload, kRecordHeader, kRecordPlace, kTotals, kContents };

struct CheckName {
  std::string_view text;  // a part of the fault's text
  std::string_view name;
};

// The fault texts come from the record reader and the tally; each check
// keeps one name here whatever its wording becomes around these words.
const CheckName kCheckNames[] = {
    {"header length", "header_length"},
    {record_check_text(RecordCheck::kHeaderShort), "header_short"},
    {record_check_text(RecordCheck::kHeaderCrc), "record_crc"},
    {record_check_text(RecordCheck::kStoredShort), "stored_short"},
    {record_check_text(RecordCheck::kStoredCrc), "stored_crc"},
    {record_check_text(RecordCheck::kDecoder), "stream"},
    {record_check_text(RecordCheck::kDataCrc), "data_crc"},
    {"not enough memory", "memory"},
    {": record_offset ", "record_offset"},
    {"out of slot order", "slot_order"},
    {"bytes follow the last record", "payload_end"},
    {"bytes follow the piece table", "payload_end"},
    {"the piece table", "piece_table"},
    {"second valid payload header", "second_payload_header"},
};

std::string_view check_name(Stage stage, std::string_view fault) {
  for (const CheckName& check : kCheckNames)
    if (fault.find(check.text) != std::string_view::npos) return check.name;
  switch (stage) {
    case Stage::kPayload: return "payload_header";
    case Stage::kRecordHeader: return "record_rules";
    case Stage::kRecordPlace: return "tree";
    case Stage::kTotals: return "totals";
    case Stage::kContents: return "contents";
  }
  return "unknown";
}

std::string utc_time(std::int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm stamp{};
  char text[32] = "";
  if (gmtime_r(&t, &stamp) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &stamp);
  return text;
}

std::string_view method_name(std::uint32_t method) {
  if (method == METHOD_STORED) return "stored";
  if (method == METHOD_REMOVE) return "remove";
  return "compressed";
}

Json header_json(const PayloadHeader& h) {
  Json slots = Json::array();
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (h.slot_file_count[slot] == 0 && h.slot_size[slot] == 0) continue;
    slots.push_back({{"slot", slot}, {"record_count", h.slot_file_count[slot]}, {"size", h.slot_size[slot]}});
  }
  return {{"product", header_text(h.product_name)},
          {"version", header_text(h.version)},
          {"description", header_text(h.description)},
          {"hardware_family", header_text(h.hardware_family)},
          {"java_runtime", header_text(h.java_runtime)},
          {"build_time", h.build_time},
          {"build_time_utc", utc_time(h.build_time)},
          {"record_count", h.file_count},
          {"total_size", h.total_size},
          {"total_stored_size", h.total_stored_size},
          {"total_header_size", h.total_header_size},
          {"header_crc", h.header_crc},
          {"slots", std::move(slots)}};
}

// Where each piece of a record cut into pieces starts, the first included.
Json pieces_json(const RecordPieces& entry) {
  Json pieces = Json::array();
  for (const PiecePoint& point : entry.pieces)
    pieces.push_back({{"bit_offset", point.bit_offset}, {"output_offset", point.output_offset}});
  return pieces;
}

Json record_json(const PayloadRecord& record, const PieceTable& table) {
  const FileRecord& r = record.fields;
  Json json = {{"index", record.index},
               {"path", record.rel_path},
               {"method", method_name(r.method)},
               {"size", r.size},
               {"stored_size", r.stored_size},
               {"mode", r.mode},
               {"mtime", r.mtime},
               {"slot", r.target_slot},
               {"record_offset", record.record_offset},
               {"header_length", r.header_length},
               {"record_crc", r.record_crc},
               {"stored_crc", r.stored_crc},
               {"data_crc", r.data_crc}};
  if (const RecordPieces* entry = find_record_pieces(table, record.index)) json["pieces"] = pieces_json(*entry);
  return json;
}

Json piece_table_json(const InstallerFile& reader) {
  if (reader.pieces.length == 0) return nullptr;
  return {{"offset", reader.pieces_at},
          {"length", reader.pieces.length},
          {"version", kPieceTableVersion},
          {"record_count", reader.pieces.records.size()}};
}

Json document_of(const std::string& path, const InstallerFile& reader) {
  return {{"installer", path},
          {"program", program_arch_at(reader.file.fd)},
          {"payload_offset", reader.payload_offset},
          {"header", header_json(reader.header)},
          {"piece_table", piece_table_json(reader)},
          {"records", Json::array()}};
}

// Names that are not UTF-8 come out with U+FFFD in place of the odd bytes:
// a document that always parses beats one that reproduces every byte.
bool print_document(const Json& document) {
  const std::string text = document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

// The faults of one verification, and the record each was found in.
struct Findings {
  Json faults = Json::array();

  void add(Stage stage, const PayloadRecord* record, const std::string& fault) {
    Json where = record == nullptr ? Json(nullptr) : Json{{"index", record->index}, {"path", record->rel_path}};
    faults.push_back({{"record", std::move(where)}, {"check", check_name(stage, fault)}, {"message", fault}});
  }
};

// Every record in the installer's order (header, directories, stored bytes,
// contents), so that the first fault listed is the one the installer would
// stop at; each record is checked whatever the ones before it gave. A header
// that fails ends the walk: the next record's place is known only from it.
// The faults the installer never meets (a record's place, the totals) are
// listed after the others.
void check_records(InstallerFile* reader, Json* records, Findings* findings) {
  Tally tally;
  Findings unseen;
  PayloadRecord record;
  std::string fault;
  bool whole = true;
  for (std::uint32_t i = 0; i < reader->header.file_count && whole; ++i) {
    if (!read_payload_record(reader, i, false, &record, &fault)) {
      // The path is there only when the header passed its CRC.
      findings->add(Stage::kRecordHeader, &record, fault);
      whole = false;
      break;
    }
    records->push_back(record_json(record, reader->pieces));
    if (!apply_record_tree(&tally, record, &fault)) findings->add(Stage::kRecordPlace, &record, fault);
    if (!check_record_from_file(reader, record, &fault)) findings->add(Stage::kContents, &record, fault);
    if (!tally_record(&tally, record, &fault)) unseen.add(Stage::kRecordPlace, &record, fault);
    if (!check_record_table(reader, record, &fault)) unseen.add(Stage::kRecordPlace, &record, fault);
  }
  if (whole && !check_totals(tally, *reader, &fault)) unseen.add(Stage::kTotals, nullptr, fault);
  for (Json& later : unseen.faults) findings->faults.push_back(std::move(later));
}

}  // namespace

int list_installer_json(const std::string& path) {
  InstallerFile reader;
  std::string fault;
  if (!open_installer(path, &reader, &fault)) {
    pack_error("%s: %s", path.c_str(), fault.c_str());
    return 1;
  }
  Json document = document_of(path, reader);
  PayloadRecord record;
  for (std::uint32_t i = 0; i < reader.header.file_count; ++i) {
    if (!read_payload_record(&reader, i, false, &record, &fault)) {
      pack_error("%s: %s", path.c_str(), fault.c_str());
      return 1;
    }
    document["records"].push_back(record_json(record, reader.pieces));
  }
  return print_document(document) ? 0 : 1;
}

int verify_installer_json(const std::string& path) {
  InstallerFile reader;
  std::string fault;
  Findings findings;
  Json document;
  if (!open_installer(path, &reader, &fault)) {
    findings.add(Stage::kPayload, nullptr, fault);
    document = {{"installer", path}, {"records", Json::array()}};
  } else {
    document = document_of(path, reader);
    check_records(&reader, &document["records"], &findings);
  }
  const bool intact = findings.faults.empty();
  document["result"] = intact ? "intact" : "damaged";
  document["faults"] = std::move(findings.faults);
  if (!print_document(document)) return 1;
  return intact ? 0 : 1;
}

}  // namespace telo
