#include "pack/name_quoting.h"

#include <gtest/gtest.h>

namespace telo {
namespace {

struct QuotingCase {
  const char* name;
  std::string_view raw;
  const char* shown;
};

// As `ls --quoting-style=shell-escape` shows each name in a UTF-8 locale.
const QuotingCase kCases[] = {
    {"plain", "plain name.txt", "plain name.txt"},
    {"accented letters stay", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
    {"newline", "two\nlines", "'two'$'\\n''lines'"},
    {"quote beside a tab", "it's\tfine", "'it'\\''s'$'\\t''fine'"},
    {"escape sequence", "esc\x1b[31mred", "'esc'$'\\033''[31mred'"},
    {"DEL", "t\x7f", "'t'$'\\177'"},
    {"escaped run in one group", "a\n\nb", "'a'$'\\n\\n''b'"},
    {"C1 CSI (U+009B)", "c\xc2\x9b" "2J", "'c'$'\\302\\233''2J'"},
    {"C1 NEL then CSI", "\xc2\x85\xc2\x9bz", "$'\\302\\205\\302\\233''z'"},
    {"line separator", "x\xe2\x80\xa8y", "'x'$'\\342\\200\\250''y'"},
    {"bare 8-bit CSI byte", "\x9b", "$'\\233'"},
    {"invalid byte", "e\xffg", "'e'$'\\377''g'"},
    {"cut-off sequence at the end", "h\xc3", "'h'$'\\303'"},
    {"cut-off sequence before ASCII", "\xe2\x80x", "$'\\342\\200''x'"},
    {"overlong slash", "\xc0\xaf", "$'\\300\\257'"},
    {"surrogate", "\xed\xa0\x80", "$'\\355\\240\\200'"},
    {"past U+10FFFF", "\xf4\x90\x80\x80", "$'\\364\\220\\200\\200'"},
};

TEST(NameQuotingTest, ShowsNamesAsLsDoes) {
  for (const QuotingCase& c : kCases) EXPECT_EQ(quote_name(c.raw), c.shown) << c.name;
}

}  // namespace
}  // namespace telo
