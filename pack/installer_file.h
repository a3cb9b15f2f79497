#pragma once

// An existing installer opened for inspection. Its payload is read through
// the same reader the installer uses, so every check is the installer's; a
// fault comes back as text naming the record, and sizes are checked against
// the file before anything is allocated.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/codec.h"
#include "payload/format.h"
#include "payload/piece_table.h"
#include "payload/record_reader.h"

namespace telo {

// Owns a file descriptor; closes it at scope end.
struct OwnedFd {
  int fd = -1;
  OwnedFd() = default;
  ~OwnedFd();
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
};

struct InstallerFile {
  OwnedFd file;
  std::uint64_t file_size = 0;       // as it was when opened
  std::uint64_t payload_offset = 0;  // of the header block
  PayloadHeader header{};
  std::uint64_t records_start = 0;
  PayloadSource next;                // where the next record starts
  std::vector<std::uint8_t> crc_table;
  Decompressor* context = nullptr;   // made on first use, for every record
  PieceTable pieces;                 // as read where the header's totals end the records; length 0: none
  std::uint64_t pieces_at = 0;       // where it was looked for
  ~InstallerFile();
};

// One record as read: its header, path and, when asked for, stored bytes.
struct PayloadRecord {
  std::uint32_t index = 0;
  RecordHeader header;
  FileRecord fields;
  std::string rel_path;
  std::vector<std::uint8_t> stored;
  std::uint64_t record_offset = 0;  // from the first record, as found
  std::uint64_t stored_at = 0;      // file offset of its stored bytes
};

// Opens `path` and finds its payload the way the installer does, then
// checks its volume, and reads its piece table when there is one. False
// with `fault` set otherwise.
bool open_installer(const std::string& path, InstallerFile* installer, std::string* fault);

// Reads the next record: header, CRC and record rules, then the stored
// bytes (read and checked when `with_stored`, else only found within the
// file). False with `fault` set.
bool read_payload_record(InstallerFile* installer, std::uint32_t index, bool with_stored,
                         PayloadRecord* record, std::string* fault);

// Decodes a compressed record read with its stored bytes, piece by piece
// into a window of the decoder's size, and checks the contents' CRC: a
// record may claim gigabytes that are never held. Stored records were
// checked whole when read. False with `fault` set.
bool check_record_contents(InstallerFile* installer, const PayloadRecord& record, std::string* fault);

// Checks the stored bytes and the contents of a record read without its
// stored bytes, reading them from the file: a stored record a stretch at a
// time, a compressed one's stream whole, decoded piece by piece. Nothing is
// mapped, so a file cut short meanwhile ends in a fault, not a signal.
// False with `fault` set.
bool check_record_from_file(InstallerFile* installer, const PayloadRecord& record, std::string* fault);

// Checks a compressed record's entry in the piece table against its stream,
// read again from the file: the pieces fit the record, and each piece,
// decoded from its bit offset with a fresh decoder, gives the bytes the
// whole stream gives from its output offset. A stream that does not decode
// as a whole is left to check_record_from_file. False with `fault` set.
bool check_record_pieces(InstallerFile* installer, const PayloadRecord& record, const RecordPieces& pieces,
                         std::string* fault);

// True when the file is now shorter than when it was opened.
bool installer_cut_short(const InstallerFile& installer);

// What a fault says when the file was cut short while it was read.
inline constexpr const char* kCutShortText = "the file was cut short while it was read";

// The contents of a record read with its stored bytes, checked: the stored
// bytes, or their decoding. Holds the whole file in memory; for tests.
bool record_contents(InstallerFile* installer, const PayloadRecord& record, std::vector<std::uint8_t>* contents,
                     std::string* fault);

// "record N" and the path when there is one, as faults name a record.
std::string record_name(std::uint32_t index, std::string_view rel_path);

}  // namespace telo
