#pragma once

// The payload's on-disk layout, shared by the installer's reader and the
// packer's writer. All integers are little-endian; texts are NUL-terminated
// within fixed-width fields.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace telo {

static_assert(std::endian::native == std::endian::little,
              "the payload structs are read in place on little-endian hosts");

inline constexpr std::uint32_t kPayloadAlignment = 1024;
inline constexpr std::size_t kMarkerLength = 252;
inline constexpr std::size_t kTextFieldSize = 64;
inline constexpr int kSlotCount = 16;
inline constexpr std::int32_t kSingleVolume = -1;

// The marker that heads a payload. The installer never holds it verbatim:
// it keeps a copy with one digit lowered (index 40) and raises it at run
// time, so its own image can never be mistaken for a payload.
inline constexpr std::size_t kMarkerTweakIndex = 40;
inline constexpr char kStoredMarker[] =
    "VORN(R)....SOFTWARE.....DISTRIBUTION"
    "185947483282934729385792938102382358104503028582458593028480274058238583"
    "083967392048592375930573920547769332251686535875121018012084105105684165"
    "201230235254340643554230423544234212869320204830584579332059862389425312";
static_assert(sizeof(kStoredMarker) == kMarkerLength + 1);

// The 1028-byte block at the start of the payload.
struct PayloadHeader {
  char marker[kMarkerLength];
  std::uint8_t reserved0[4];
  std::uint32_t file_count;
  std::uint32_t total_size;
  std::uint32_t total_stored_size;
  std::uint32_t total_header_size;
  std::int32_t minus_one;
  std::int32_t volume;
  std::int32_t reserved1;
  std::uint32_t slot_file_count[kSlotCount];
  std::uint32_t slot_size[kSlotCount];
  std::uint8_t reserved2[4];
  std::uint16_t header_crc;
  char product_name[kTextFieldSize];
  char version[kTextFieldSize];
  char description[kTextFieldSize];
  char hardware_family[kTextFieldSize];
  char java_runtime[kTextFieldSize];
  std::uint8_t reserved3[2];
  std::int32_t build_time;
  std::uint8_t reserved4[284];
};
inline constexpr std::size_t kPayloadHeaderSize = 1028;
static_assert(sizeof(PayloadHeader) == kPayloadHeaderSize);
static_assert(offsetof(PayloadHeader, file_count) == 256);
static_assert(offsetof(PayloadHeader, total_size) == 260);
static_assert(offsetof(PayloadHeader, total_stored_size) == 264);
static_assert(offsetof(PayloadHeader, total_header_size) == 268);
static_assert(offsetof(PayloadHeader, minus_one) == 272);
static_assert(offsetof(PayloadHeader, volume) == 276);
static_assert(offsetof(PayloadHeader, slot_file_count) == 284);
static_assert(offsetof(PayloadHeader, slot_size) == 348);
static_assert(offsetof(PayloadHeader, header_crc) == 416);
static_assert(offsetof(PayloadHeader, product_name) == 418);
static_assert(offsetof(PayloadHeader, version) == 482);
static_assert(offsetof(PayloadHeader, description) == 546);
static_assert(offsetof(PayloadHeader, hardware_family) == 610);
static_assert(offsetof(PayloadHeader, java_runtime) == 674);
static_assert(offsetof(PayloadHeader, build_time) == 740);

// File records: a header of L bytes (41..4136) followed by the stored bytes.
inline constexpr std::uint32_t METHOD_STORED = 0;
inline constexpr std::uint32_t METHOD_COMPRESSED = 1;
inline constexpr std::uint32_t METHOD_REMOVE = 2;

inline constexpr std::size_t kRecordFixedSize = 38;  // offset of rel_path
inline constexpr std::uint32_t kMinRecordHeader = 41;
inline constexpr std::uint32_t kMaxRecordHeader = 4136;
// The longest rel_path that fits the largest header with its terminator.
inline constexpr std::size_t kMaxRelPath = kMaxRecordHeader - kRecordFixedSize - 1;

namespace record_offset {
inline constexpr std::size_t kHeaderLength = 0;
inline constexpr std::size_t kRecordCrc = 4;
inline constexpr std::size_t kDataCrc = 6;
inline constexpr std::size_t kStoredCrc = 8;
inline constexpr std::size_t kSize = 12;
inline constexpr std::size_t kStoredSize = 16;
inline constexpr std::size_t kMethod = 20;
inline constexpr std::size_t kTargetSlot = 24;
inline constexpr std::size_t kRecordOffset = 28;
inline constexpr std::size_t kMtime = 32;
inline constexpr std::size_t kMode = 36;
inline constexpr std::size_t kRelPath = 38;
}  // namespace record_offset

// The fixed fields of a record header, decoded.
struct FileRecord {
  std::uint32_t header_length = 0;
  std::uint16_t record_crc = 0;
  std::uint16_t data_crc = 0;
  std::uint16_t stored_crc = 0;
  std::uint32_t size = 0;
  std::uint32_t stored_size = 0;
  std::uint32_t method = METHOD_STORED;
  std::uint32_t target_slot = 0;
  std::uint32_t record_offset = 0;
  std::uint32_t mtime = 0;
  std::uint16_t mode = 0;
};

inline std::uint16_t load_u16(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline std::uint32_t load_u32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline std::uint64_t load_u64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store_u16(std::uint8_t* p, std::uint16_t v) { std::memcpy(p, &v, sizeof v); }
inline void store_u32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, sizeof v); }
inline void store_u64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, sizeof v); }

// Reads the fixed fields from a header of at least kRecordFixedSize bytes.
FileRecord decode_record_header(const std::uint8_t* header);

// Writes the fixed fields (record_crc as given) and as much of the path as
// fits into `header` (at least kRecordFixedSize bytes), zero-filling the rest.
void encode_record_header(const FileRecord& record, std::string_view rel_path,
                          std::span<std::uint8_t> header);

// Builds the real marker (252 characters and a terminator) from the stored copy.
void make_payload_marker(char (&marker)[kMarkerLength + 1]);

// The smallest header length that holds `rel_path` and its terminator.
inline std::uint32_t record_header_length(std::size_t rel_path_length) {
  std::size_t length = kRecordFixedSize + rel_path_length + 1;
  return length < kMinRecordHeader ? kMinRecordHeader : static_cast<std::uint32_t>(length);
}

}  // namespace telo
