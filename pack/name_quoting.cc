#include "pack/name_quoting.h"

#include <cstdio>

namespace telo {

namespace {

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

const char* short_escape(unsigned char c) {
  switch (c) {
    case '\a': return "\\a";
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\v': return "\\v";
    case '\f': return "\\f";
    case '\r': return "\\r";
    default: return nullptr;
  }
}

}  // namespace

std::string quote_name(std::string_view name) {
  bool needs_quoting = false;
  for (unsigned char c : name) needs_quoting = needs_quoting || is_control(c);
  if (!needs_quoting) return std::string(name);
  std::string quoted;
  bool in_quotes = false;
  for (unsigned char c : name) {
    if (is_control(c)) {
      if (in_quotes) quoted += '\'';
      in_quotes = false;
      char octal[8];
      const char* escape = short_escape(c);
      if (escape == nullptr) {
        std::snprintf(octal, sizeof octal, "\\%03o", c);
        escape = octal;
      }
      quoted += "$'";
      quoted += escape;
      quoted += '\'';
      continue;
    }
    if (!in_quotes) quoted += '\'';
    in_quotes = true;
    if (c == '\'') quoted += "'\\''";
    else quoted += static_cast<char>(c);
  }
  if (in_quotes) quoted += '\'';
  return quoted;
}

}  // namespace telo
