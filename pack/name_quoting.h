#pragma once

// Names shown on a terminal: a name holding control characters (a newline,
// an escape sequence) would break the listing or act on the terminal, so it
// is quoted the way `ls` does ("shell-escape"): printable runs in single
// quotes, each control character as $'\n' or $'\ooo'.

#include <string>
#include <string_view>

namespace telo {

// The name as it can be shown: unchanged when it holds no control character.
std::string quote_name(std::string_view name);

}  // namespace telo
