#include "payload/header_fields.h"

#include <algorithm>
#include <cstring>

namespace telo {

std::string_view header_text(const char (&field)[kTextFieldSize]) {
  return std::string_view(field, strnlen(field, kTextFieldSize));
}

bool header_text_fits(std::string_view text) {
  return text.size() < kTextFieldSize && text.find('\0') == std::string_view::npos;
}

void set_header_text(char (&field)[kTextFieldSize], std::string_view text) {
  std::memset(field, 0, kTextFieldSize);
  std::memcpy(field, text.data(), std::min(text.size(), kTextFieldSize - 1));
}

void count_record(PayloadHeader& header, const FileRecord& record) {
  header.file_count += 1;
  header.total_size += record.size;
  header.total_stored_size += record.stored_size;
  header.total_header_size += record.header_length;
  if (record.target_slot < static_cast<std::uint32_t>(kSlotCount)) {
    header.slot_file_count[record.target_slot] += 1;
    header.slot_size[record.target_slot] += record.size;
  }
}

}  // namespace telo
