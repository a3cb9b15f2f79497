#include "payload/format.h"

#include <algorithm>

namespace telo {

namespace {
// Read at run time so the compiler cannot fold the real marker into our image.
volatile char marker_delta = 1;
}  // namespace

void make_payload_marker(char (&marker)[kMarkerLength + 1]) {
  std::memcpy(marker, kStoredMarker, sizeof marker);
  marker[kMarkerTweakIndex] = static_cast<char>(marker[kMarkerTweakIndex] + marker_delta);
}

FileRecord decode_record_header(const std::uint8_t* header) {
  namespace at = record_offset;
  FileRecord r;
  r.header_length = load_u32(header + at::kHeaderLength);
  r.record_crc = load_u16(header + at::kRecordCrc);
  r.data_crc = load_u16(header + at::kDataCrc);
  r.stored_crc = load_u16(header + at::kStoredCrc);
  r.size = load_u32(header + at::kSize);
  r.stored_size = load_u32(header + at::kStoredSize);
  r.method = load_u32(header + at::kMethod);
  r.target_slot = load_u32(header + at::kTargetSlot);
  r.record_offset = load_u32(header + at::kRecordOffset);
  r.mtime = load_u32(header + at::kMtime);
  r.mode = load_u16(header + at::kMode);
  return r;
}

void encode_record_header(const FileRecord& r, std::string_view rel_path,
                          std::span<std::uint8_t> bytes) {
  namespace at = record_offset;
  std::uint8_t* header = bytes.data();
  std::memset(header, 0, bytes.size());
  store_u32(header + at::kHeaderLength, r.header_length);
  store_u16(header + at::kRecordCrc, r.record_crc);
  store_u16(header + at::kDataCrc, r.data_crc);
  store_u16(header + at::kStoredCrc, r.stored_crc);
  store_u32(header + at::kSize, r.size);
  store_u32(header + at::kStoredSize, r.stored_size);
  store_u32(header + at::kMethod, r.method);
  store_u32(header + at::kTargetSlot, r.target_slot);
  store_u32(header + at::kRecordOffset, r.record_offset);
  store_u32(header + at::kMtime, r.mtime);
  store_u16(header + at::kMode, r.mode);
  std::size_t room = bytes.size() - at::kRelPath;
  std::memcpy(header + at::kRelPath, rel_path.data(), std::min(rel_path.size(), room));
}

}  // namespace telo
