#include "console/prompt.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/child_capture.h"

namespace telo {
namespace {

using testing::run_in_child;

enum class Prompt { kOkCancel, kYesNoCancel, kOk, kBackNextCancel, kOverwrite };

int ask(Prompt prompt, int default_outcome) {
  switch (prompt) {
    case Prompt::kOkCancel: return ask_ok_cancel("Proceed?", default_outcome);
    case Prompt::kYesNoCancel: return ask_yes_no_cancel(nullptr, default_outcome);
    case Prompt::kOk: return ask_ok();
    case Prompt::kBackNextCancel: return ask_back_next_cancel();
    case Prompt::kOverwrite: return ask_yes_no_cancel("Overwrite?", default_outcome);
  }
  return -1;
}

struct PromptCase {
  const char* name;
  Prompt prompt;
  int default_outcome;
  int auto_value;
  std::string input;
  int expected;
  std::string expected_output;
};

const std::string kOkCancelLine = "\nProceed? [Ok? Cancel?]: ";
const std::string kYesNoLine = "\n[No? Yes? Cancel?]: ";

TEST(AskChoice, AnswersAndWhatTheUserSees) {
  const PromptCase cases[] = {
      {"o", Prompt::kOkCancel, 0, 0, "o\n", RESULT_OK, kOkCancelLine},
      {"upper case", Prompt::kOkCancel, 0, 0, "C\n", RESULT_CANCEL, kOkCancelLine},
      {"'no' skips n, o decides", Prompt::kOkCancel, 0, 0, "no\n", RESULT_OK, kOkCancelLine},
      {"leading blank", Prompt::kOkCancel, 0, 0, " Cancel\n", RESULT_CANCEL, kOkCancelLine},
      {"empty lines repeat", Prompt::kYesNoCancel, 0, 0, "\n\ny\n", RESULT_YES,
       kYesNoLine + kYesNoLine + kYesNoLine},
      {"'x' then end of input", Prompt::kYesNoCancel, 0, 0, "x", RESULT_CANCEL, kYesNoLine},
      {"end of input", Prompt::kBackNextCancel, 0, 0, "", RESULT_CANCEL, "\n[Back? Next? Cancel?]: "},
      {"zero byte", Prompt::kOkCancel, 0, 0, std::string("\0o\n", 3), RESULT_CANCEL, kOkCancelLine},
      {"back", Prompt::kBackNextCancel, 0, 0, "b\n", RESULT_BACK, "\n[Back? Next? Cancel?]: "},
      {"hot key at end of input", Prompt::kYesNoCancel, 0, 0, "n", RESULT_NO, kYesNoLine},
      {"ok has a blank question", Prompt::kOk, 0, 0, "o\n", RESULT_OK, "\n [Ok?]: "},
      {"overwrite", Prompt::kOverwrite, RESULT_YES, 0, "y\n", RESULT_YES,
       "\nOverwrite? [No? Yes? Cancel?]: "},
      {"auto with default", Prompt::kOkCancel, RESULT_NEXT, 1, "", RESULT_NEXT, ""},
      {"auto without default waits", Prompt::kOkCancel, 0, 1, "c\n", RESULT_CANCEL, kOkCancelLine},
  };
  for (const PromptCase& c : cases) {
    testing::ChildResult result = run_in_child(
        [&] {
          auto_mode = c.auto_value;
          return ask(c.prompt, c.default_outcome);
        },
        c.input);
    EXPECT_EQ(result.exit_status, 0) << c.name;
    EXPECT_EQ(result.returned, c.expected) << c.name;
    EXPECT_EQ(result.stderr_text, c.expected_output) << c.name;
  }
}

TEST(AskChoice, ConsumesTheRestOfTheAnsweredLineOnly) {
  testing::ChildResult result = run_in_child(
      [] {
        int first = ask_yes_no_cancel(nullptr, 0);
        int second = ask_ok_cancel(nullptr, 0);
        return first * 1000 + second;
      },
      "Yes please, cancel nothing\nok\n");
  EXPECT_EQ(result.returned, RESULT_YES * 1000 + RESULT_OK);
  EXPECT_EQ(result.stderr_text, kYesNoLine + "\n[Ok? Cancel?]: ");
}

TEST(AskChoice, NoKeysMeansOnlyCancelByEndOfInput) {
  testing::ChildResult result =
      run_in_child([] { return ask_choice("Q?", "Nothing?", "", nullptr, 0, 0); }, "abc\n");
  EXPECT_EQ(result.returned, RESULT_CANCEL);
  EXPECT_EQ(result.stderr_text, "\nQ? [Nothing?]: \nQ? [Nothing?]: ");
}

}  // namespace
}  // namespace telo
