#include "console/progress.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/child_capture.h"

namespace telo {
namespace {

using testing::run_in_child;

std::string line(int files, int bytes, const std::string& shown) {
  char numbers[32];
  std::snprintf(numbers, sizeof numbers, "%3d%% %3d%%  ", files, bytes);
  return numbers + shown + " ";
}

std::string backspaces(std::size_t n) { return std::string(n, '\b'); }

std::string erasure(std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += "\b \b";
  return out;
}

std::string progress_output(const std::function<void()>& calls) {
  return run_in_child([&] {
           calls();
           return 0;
         }).stderr_text;
}

TEST(ShowProgress, DrawsRedrawsOnlyOnChangeAndClears) {
  const std::string first = line(0, 12, "app/bin/tool");
  const std::string second = line(0, 13, "app/bin/tool");
  const std::string third = line(50, 13, "app/lib/x.so");
  std::string expected = first + backspaces(first.size()) + second + backspaces(second.size()) +
                         third + erasure(third.size()) + line(50, 13, "app/lib/x.so");
  EXPECT_EQ(progress_output([] {
              show_progress("app/bin/tool", 0, 12);
              show_progress("app/bin/tool", 0, 12);  // nothing new: nothing written
              show_progress("app/bin/tool", 0, 13);
              show_progress("app/lib/x.so", 50, 13);
              show_progress("app/lib/x.so", 50, 13);
              show_progress(nullptr, 0, 0);
              show_progress(nullptr, 0, 0);  // nothing shown: nothing written
              show_progress("app/lib/x.so", 50, 13);  // drawn afresh after clearing
            }),
            expected);
}

TEST(ShowProgress, ClearingAnIdleLineWritesNothing) {
  EXPECT_EQ(progress_output([] { show_progress(nullptr, 0, 0); }), "");
}

TEST(ShowProgress, ThreeDigitPercentagesAndWideNumbers) {
  EXPECT_EQ(progress_output([] { show_progress("f", 100, 100); }), "100% 100%  f ");
  EXPECT_EQ(progress_output([] { show_progress("f", 1234, -5); }), "1234%  -5%  f ");
}

struct ShortenCase {
  std::string text;
  std::string shown;
};

TEST(ShowProgress, ShortensLongTextsAtADirectoryBoundary) {
  const std::string forty(40, 'a');
  std::string sixty(60, 'b');
  sixty[10] = '/';
  sixty[45] = '/';
  std::string backslashed(50, 'c');
  backslashed[42] = '\\';
  std::string no_separator(45, 'd');
  no_separator[20] = '/';  // before index 40: does not count
  const ShortenCase cases[] = {
      {forty, forty},
      {forty + "z", "...z"},
      {sixty, "..." + sixty.substr(45)},
      {backslashed, "..." + backslashed.substr(42)},
      {no_separator, "..." + no_separator.substr(40)},
      {forty + "/tail", ".../tail"},
  };
  for (const ShortenCase& c : cases) {
    EXPECT_EQ(progress_output([&] { show_progress(c.text.c_str(), 1, 2); }), line(1, 2, c.shown))
        << c.text;
  }
}

TEST(ShowProgress, ComparesTheWholeTextNotTheShortenedOne) {
  const std::string a = std::string(41, 'x') + "/same";
  const std::string b = std::string(42, 'y') + "/same";
  const std::string shown = line(0, 0, ".../same");
  EXPECT_EQ(progress_output([&] {
              show_progress(a.c_str(), 0, 0);
              show_progress(b.c_str(), 0, 0);
            }),
            shown + backspaces(shown.size()) + shown);
}

}  // namespace
}  // namespace telo
