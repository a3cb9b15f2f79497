#pragma once

// The piece table: where a reader may start decoding a compressed record
// other than at its first bit.
//
// The packer codes a large file as pieces, each a complete stream whose
// matches never reach into the piece before, joined bit to bit into the
// record's one stream. The table names, for each record cut into more than
// one piece, the bit in its stored bytes where each piece begins and the
// output offset that piece produces, so that pieces can be decoded apart.
//
// Design:
// - It lies after the last record. The installer reads exactly file_count
//   records and never looks further, so an installer that knows nothing of
//   the table installs as before, and the header's totals still describe the
//   records alone. A reader finds it where the header's totals say the
//   records end (piece_table_offset).
// - It carries its own marker, version, length and CRC-16: nothing else in
//   the payload vouches for these bytes, and a table of another version is
//   simply not read.
// - It can never decide what is written: a reader that finds anything wrong
//   takes it as "no table" and decodes the record from its first bit, and a
//   record decoded from its pieces is still judged by its data CRC. A wrong
//   table can cost speed, never contents.
//
// Layout (little-endian, fixed width, read byte by byte):
//   0   8 bytes  marker "TELOPCS1"
//   8   u32      version (1)
//   12  u32      length: the whole table in bytes, from its marker on
//   16  u32      entry count: records listed, in increasing record order
//   20  u16      CRC-16 of the whole table with these two bytes zero
//   22  u16      zero
//   24  entries, each:
//         u32  record index (from 0, below the header's file_count)
//         u32  piece count (2 or more)
//         then, for every piece but the first (which starts at bit 0 and
//         output 0 and is not written):
//           u64  bit offset in the record's stored bytes, first bit = the
//                most significant bit of the first stored byte
//           u32  output offset, a multiple of 8192 (the decoder's call)
// Both offsets rise strictly from piece to piece; a listed record is
// compressed, its last piece starts before its size and before its
// stored_size * 8 bits.

#include <cstdint>
#include <span>
#include <vector>

#include "payload/format.h"

namespace telo {

inline constexpr char kPieceTableMarker[8] = {'T', 'E', 'L', 'O', 'P', 'C', 'S', '1'};
inline constexpr std::uint32_t kPieceTableVersion = 1;
inline constexpr std::size_t kPieceTableHeaderSize = 24;
inline constexpr std::size_t kPieceEntryHeaderSize = 8;
inline constexpr std::size_t kPiecePointSize = 12;
// Pieces start where the decoder's calls start, so that a piece decodes in
// the same calls as the whole stream does at that offset.
inline constexpr std::uint32_t kPieceOutputUnit = 8192;
// Far more than a 4 GiB payload cut into 8 KiB pieces needs.
inline constexpr std::uint32_t kMaxPieceTableLength = 16u << 20;

namespace piece_table_offset_of {
inline constexpr std::size_t kMarker = 0;
inline constexpr std::size_t kVersion = 8;
inline constexpr std::size_t kLength = 12;
inline constexpr std::size_t kEntryCount = 16;
inline constexpr std::size_t kCrc = 20;
}  // namespace piece_table_offset_of

// Where a piece begins: in the stored bytes, and in the file's contents.
struct PiecePoint {
  std::uint64_t bit_offset = 0;
  std::uint32_t output_offset = 0;
  bool operator==(const PiecePoint&) const = default;
};

// One record's pieces, the first at 0/0 included.
struct RecordPieces {
  std::uint32_t record_index = 0;
  std::vector<PiecePoint> pieces;
  bool operator==(const RecordPieces&) const = default;
};

struct PieceTable {
  std::vector<RecordPieces> records;  // in increasing record order
  std::uint32_t length = 0;           // bytes the table takes
};

// Where the table starts when the header's totals describe the records.
std::uint64_t piece_table_offset(const PayloadHeader& header, std::uint64_t records_start);

// The table's bytes, sealed with its CRC. Records must be in increasing order
// and each list its first piece at 0/0.
std::vector<std::uint8_t> encode_piece_table(const std::vector<RecordPieces>& records);

// True when `bytes` begin with the table's marker (whether or not it reads).
bool starts_piece_table(std::span<const std::uint8_t> bytes);

// Reads the table at the start of `bytes` (which may go on past it) for a
// payload of `file_count` records: marker, version, length, CRC, entries in
// order, indices below file_count, offsets rising. False, with `table`
// empty, for anything wrong: then there is no table.
bool parse_piece_table(std::span<const std::uint8_t> bytes, std::uint32_t file_count, PieceTable* table);

// True when the record's pieces fit it: a compressed record, the pieces
// starting within its stored bits and its size.
bool record_pieces_fit(const RecordPieces& pieces, const FileRecord& record);

// parse_piece_table for the payload whose records are `records`, each listed
// record's pieces fitting it. False, with `table` empty, for anything wrong.
bool read_piece_table(std::span<const std::uint8_t> bytes, std::span<const FileRecord> records, PieceTable* table);

// Reads and parses the table at `offset` of the file open at `fd` (pread).
// False, with `table` empty, when there is none or anything is wrong.
bool load_piece_table(int fd, std::uint64_t offset, std::uint32_t file_count, PieceTable* table);

// The entry of record `index`, or null.
const RecordPieces* find_record_pieces(const PieceTable& table, std::uint32_t index);

}  // namespace telo
