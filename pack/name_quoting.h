#pragma once

// Names shown on a terminal: a name holding control characters (a newline,
// an escape sequence, a C1 control such as U+009B, which terminals obey as
// CSI) or bytes that are not UTF-8 would break the listing or act on the
// terminal, so it is quoted the way `ls` does ("shell-escape") in a UTF-8
// locale: printable runs in single quotes, each run of the others as
// $'\n' or $'\ooo', byte by byte.

#include <string>
#include <string_view>

namespace telo {

// The name as it can be shown: unchanged when every character is printable UTF-8.
std::string quote_name(std::string_view name);

}  // namespace telo
