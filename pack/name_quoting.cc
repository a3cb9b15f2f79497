#include "pack/name_quoting.h"

#include <cstdint>
#include <cstdio>

namespace telo {

namespace {

// One piece of a name: a character as UTF-8 encodes it, or a single byte
// that is not part of any valid character.
struct NameUnit {
  std::size_t length = 1;
  bool escaped = false;  // shown as octal (or short) escapes
};

// The length of the valid UTF-8 sequence at the start of `rest`, and its
// code point; 0 when the bytes there are not one (overlong forms, surrogates
// and code points past U+10FFFF included, as a terminal would refuse them).
std::size_t utf8_sequence(std::string_view rest, std::uint32_t* code_point) {
  const auto lead = static_cast<unsigned char>(rest[0]);
  std::size_t length = 0;
  std::uint32_t value = 0, least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2, value = lead & 0x1Fu, least = 0x80;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3, value = lead & 0x0Fu, least = 0x800;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4, value = lead & 0x07u, least = 0x10000;
  else return 0;
  if (rest.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(rest[i]);
    if ((next & 0xC0u) != 0x80u) return 0;
    value = (value << 6) | (next & 0x3Fu);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}

// What a terminal would obey or garble rather than show: C0 and C1 controls,
// DEL, the line and paragraph separators, and bytes that are not UTF-8.
NameUnit next_unit(std::string_view rest) {
  const auto first = static_cast<unsigned char>(rest[0]);
  if (first < 0x80) return {1, first < 0x20 || first == 0x7F};
  std::uint32_t code_point = 0;
  const std::size_t length = utf8_sequence(rest, &code_point);
  if (length == 0) return {1, true};
  const bool unprintable = code_point <= 0x9F || code_point == 0x2028 || code_point == 0x2029;
  return {length, unprintable};
}

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

void append_escape(unsigned char c, std::string* quoted) {
  if (const char* escape = short_escape(c)) {
    *quoted += escape;
    return;
  }
  char octal[8];
  std::snprintf(octal, sizeof octal, "\\%03o", c);
  *quoted += octal;
}

}  // namespace

std::string quote_name(std::string_view name) {
  bool needs_quoting = false;
  for (std::size_t at = 0; at < name.size() && !needs_quoting;) {
    const NameUnit unit = next_unit(name.substr(at));
    needs_quoting = unit.escaped;
    at += unit.length;
  }
  if (!needs_quoting) return std::string(name);
  // Printable runs go in single quotes, escaped runs in one $'...' each.
  enum class Run { kNone, kQuoted, kEscaped } run = Run::kNone;
  std::string quoted;
  for (std::size_t at = 0; at < name.size();) {
    const NameUnit unit = next_unit(name.substr(at));
    const Run wanted = unit.escaped ? Run::kEscaped : Run::kQuoted;
    if (run != wanted) {
      if (run != Run::kNone) quoted += '\'';
      quoted += unit.escaped ? "$'" : "'";
      run = wanted;
    }
    for (std::size_t i = 0; i < unit.length; ++i) {
      const auto c = static_cast<unsigned char>(name[at + i]);
      if (unit.escaped) append_escape(c, &quoted);
      else if (c == '\'') quoted += "'\\''";
      else quoted += static_cast<char>(c);
    }
    at += unit.length;
  }
  quoted += '\'';
  return quoted;
}

}  // namespace telo
