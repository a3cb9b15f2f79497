#include "wizard/header_texts.h"

#include <cstring>

namespace telo {

HeaderTexts header_texts;

namespace {

void copy_field(char (&to)[kTextFieldSize + 1], const char (&field)[kTextFieldSize]) {
  const std::size_t length = strnlen(field, kTextFieldSize);
  std::memcpy(to, field, length);
  to[length] = '\0';
}

}  // namespace

void take_header_texts(const PayloadHeader& header) {
  copy_field(header_texts.product_name, header.product_name);
  copy_field(header_texts.version, header.version);
  copy_field(header_texts.description, header.description);
  copy_field(header_texts.java_runtime, header.java_runtime);
}

}  // namespace telo
