#pragma once

// The payload header's fields as both sides use them: its texts, which the
// packer writes and the installer and the packer's inspection read, and its
// totals, which the packer adds up as it writes records and its
// inspection adds up again from the records it reads.

#include <string_view>

#include "payload/format.h"

namespace telo {

// A text field holds at most 63 characters and a terminator. A field
// sealed without a terminator is read to its end, never beyond.
std::string_view header_text(const char (&field)[kTextFieldSize]);

// True when `text` fits a text field whole: at most 63 characters, none of
// them a zero byte (which would end it early).
bool header_text_fits(std::string_view text);

// Copies `text` into a text field, cut to 63 characters, zero-filled.
void set_header_text(char (&field)[kTextFieldSize], std::string_view text);

// Adds one record to file_count, the totals and its slot's count and size
// (the slot's only when it is one of the 16).
void count_record(PayloadHeader& header, const FileRecord& record);

}  // namespace telo
