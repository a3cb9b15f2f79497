#pragma once

// The payload header's texts as the wizard prints them. A text fills its
// 64-byte field up to a terminator; a header sealed without one must still
// print only what the field holds, so each is copied out with room for a
// terminator of its own.

#include "payload/format.h"

namespace telo {

struct HeaderTexts {
  char product_name[kTextFieldSize + 1];
  char version[kTextFieldSize + 1];
  char description[kTextFieldSize + 1];
  char java_runtime[kTextFieldSize + 1];
};

// Filled at start-up from the validated header.
extern HeaderTexts header_texts;

void take_header_texts(const PayloadHeader& header);

}  // namespace telo
