#include "pack/payload_writer.h"

#include <algorithm>
#include <cstring>

#include "payload/crc16.h"

namespace telo {

PayloadHeader new_payload_header() {
  PayloadHeader header;
  std::memset(&header, 0, sizeof header);
  char marker[kMarkerLength + 1];
  make_payload_marker(marker);
  std::memcpy(header.marker, marker, kMarkerLength);
  header.minus_one = -1;
  header.volume = kSingleVolume;
  return header;
}

void seal_payload_header(PayloadHeader& header) {
  header.header_crc = 0;
  header.header_crc = crc16({reinterpret_cast<const std::uint8_t*>(&header), sizeof header});
}

std::vector<std::uint8_t> make_record_header(FileRecord record, std::string_view rel_path) {
  if (record.header_length == 0) record.header_length = record_header_length(rel_path.size());
  // Odd lengths that tests ask for may be shorter than the fixed fields.
  std::vector<std::uint8_t> bytes(std::max<std::size_t>(record.header_length, kRecordFixedSize));
  record.record_crc = 0;
  encode_record_header(record, rel_path, bytes);
  bytes.resize(record.header_length);
  store_u16(bytes.data() + record_offset::kRecordCrc, crc16(bytes));
  return bytes;
}

std::uint64_t payload_offset_after(std::uint64_t stub_size) {
  std::uint64_t offset = (stub_size + kPayloadAlignment - 1) / kPayloadAlignment * kPayloadAlignment;
  return std::max<std::uint64_t>(offset, kPayloadAlignment);
}

}  // namespace telo
