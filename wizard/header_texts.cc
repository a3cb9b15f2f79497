#include "wizard/header_texts.h"

#include <cstring>

#include "payload/header_fields.h"

namespace telo {

HeaderTexts header_texts;

namespace {

void copy_field(char (&to)[kTextFieldSize + 1], const char (&field)[kTextFieldSize]) {
  const std::string_view text = header_text(field);
  std::memcpy(to, text.data(), text.size());
  to[text.size()] = '\0';
}

}  // namespace

void take_header_texts(const PayloadHeader& header) {
  copy_field(header_texts.product_name, header.product_name);
  copy_field(header_texts.version, header.version);
  copy_field(header_texts.description, header.description);
  copy_field(header_texts.java_runtime, header.java_runtime);
}

}  // namespace telo
