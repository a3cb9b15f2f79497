#include "console/directory_dialog.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console/prompt.h"
#include "tests/support/child_capture.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

using testing::read_file;
using testing::ScopedTempDir;

const std::string kHeader =
    "\n\nPlease select a directory for installation of\n"
    "    TELO  V3.8\n"
    "requiring approximately 160.462 MiByte of space.\n";
const std::string kEnter = "\n\nEnter directory >";
const std::string kRefusal = "\nSelect a different directory! [Ok? Cancel?]: ";
const std::string kWarning = "\nSelect a different directory? [No? Yes? Cancel?]: ";
const std::string kSpaces =
    "\n\nInstallation into a directory path containing spaces is not recommended.\n";
const std::string kTooLong = "\n\nDirectory path is too long.\n";
const std::string kRoot = "\n\nInstallation into the root directory is not recommended.\n";
const std::string kIsFile = "\n\nThe directory already exists as a file.\n";
const std::string kBin = "\n\nInstalling into a 'bin' directory is not recommended.\n";
const std::string kElsewhere =
    "\n\nInstalling anywhere other than under '/usr' or '/home' directories is not recommended.\n";

std::string offered(const std::string& directory) {
  return "\n\nDefault directory: " + directory + ".\n\nUse the default directory? [No? Yes? Cancel?]: ";
}

struct DialogSetup {
  std::string slot0;              // the default on entry
  std::string cwd = "/";          // working directory of the dialog
  int auto_value = 0;
  std::uint32_t required_bytes = 64744267 + 103512659;
};

struct DialogResult {
  int outcome = 0;
  int exit_status = -1;
  std::string output;
  std::string directory;  // the dialog's directory afterwards
};

DialogResult run_dialog(const DialogSetup& setup, const std::string& input) {
  ScopedTempDir scratch;
  const std::string directory_file = scratch / "directory";
  testing::ChildResult child = testing::run_in_child(
      [&] {
        DirectoryRequest request{"TELO", "V3.8", setup.required_bytes};
        char directory[kDialogPathSize] = {};
        std::strncpy(directory, setup.slot0.c_str(), kDialogPathSize - 1);
        auto_mode = setup.auto_value;
        if (::chdir(setup.cwd.c_str()) != 0) return -1;
        int outcome = select_install_directory(request, directory);
        testing::write_file(directory_file, directory);
        return outcome;
      },
      input);
  return {child.returned, child.exit_status, child.stderr_text, read_file(directory_file)};
}

struct DialogCase {
  const char* name;
  DialogSetup setup;
  std::string input;
  int outcome;
  std::string output;
  std::string chosen;  // slot 0 afterwards
};

TEST(SelectInstallDirectory, AnswersChecksAndWhatTheUserSees) {
  const std::string def = "/usr/local/telo";
  const DialogCase cases[] = {
      {"default taken silently in automatic mode", {def, "/", 1}, "", RESULT_NEXT,
       kHeader + "\n\nDefault directory: /usr/local/telo.\n", def},
      {"default accepted", {def}, "y\n", RESULT_NEXT, kHeader + offered(def), def},
      {"relative answer made absolute", {def, "/"}, "n\nusr/local/x\n", RESULT_NEXT,
       kHeader + offered(def) + kEnter, "/usr/local/x"},
      {"relative answer below a working directory", {def, "/usr"}, "n\nshare/x\n", RESULT_NEXT,
       kHeader + offered(def) + kEnter, "/usr/share/x"},
      {"outside /usr and /home: No keeps it", {def}, "n\n/opt/x\nn\n", RESULT_NEXT,
       kHeader + offered(def) + kEnter + kElsewhere + kWarning, "/opt/x"},
      {"outside /usr and /home: Yes starts over without the default", {def},
       "n\n/opt/x\ny\n/home/u/telo\n", RESULT_NEXT,
       kHeader + offered(def) + kEnter + kElsewhere + kWarning + kHeader + kEnter, "/home/u/telo"},
      {"bin warning", {def}, "n\n/usr/bin/x\nn\n", RESULT_NEXT,
       kHeader + offered(def) + kEnter + kBin + kWarning, "/usr/bin/x"},
      {"'/usr/bin' has no further slash", {def}, "n\n/usr/bin\n", RESULT_NEXT,
       kHeader + offered(def) + kEnter, "/usr/bin"},
      {"'/usr' alone is outside", {def}, "n\n/usr\nn\n", RESULT_NEXT,
       kHeader + offered(def) + kEnter + kElsewhere + kWarning, "/usr"},
      {"root warns twice", {def}, "n\n/\nn\nn\n", RESULT_NEXT,
       kHeader + offered(def) + kEnter + kRoot + kWarning + kElsewhere + kWarning, "/"},
      {"'/..' is the root too", {def}, "n\n/..\nn\nn\n", RESULT_NEXT,
       kHeader + offered(def) + kEnter + kRoot + kWarning + kElsewhere + kWarning, "/.."},
      {"an existing file is refused", {def}, "n\n/etc/passwd\no\n/usr/x\n", RESULT_NEXT,
       kHeader + offered(def) + kEnter + kIsFile + kRefusal + kHeader + kEnter, "/usr/x"},
      {"a blank is refused whatever else", {def}, "n\nmy dir\nc\n", RESULT_CANCEL,
       kHeader + offered(def) + kEnter + kSpaces + kRefusal, def},
      {"a tab is refused", {def}, "n\n/usr/a\tb\nc\n", RESULT_CANCEL,
       kHeader + offered(def) + kEnter + kSpaces + kRefusal, def},
      {"empty line", {def}, "n\n\no\n/usr/x\n", RESULT_NEXT,
       kHeader + offered(def) + kEnter + "\n\nA directory must be selected.\n" +
           "\nSelect a directory? [Ok? Cancel?]: " + kHeader + kEnter,
       "/usr/x"},
      {"empty line then cancel", {def}, "n\n\nc\n", RESULT_CANCEL,
       kHeader + offered(def) + kEnter + "\n\nA directory must be selected.\n" +
           "\nSelect a directory? [Ok? Cancel?]: ",
       def},
      {"no default offered for an empty slot 0", {""}, "/usr/x\n", RESULT_NEXT, kHeader + kEnter,
       "/usr/x"},
      {"cancel at the default", {def}, "c\n", RESULT_CANCEL, kHeader + offered(def), def},
      {"cancel at a warning", {def}, "n\n/opt/x\nc\n", RESULT_CANCEL,
       kHeader + offered(def) + kEnter + kElsewhere + kWarning, def},
      {"end of input at the default", {def}, "", RESULT_CANCEL, kHeader + offered(def), def},
      {"end of input while typing", {def}, "n\n/usr/partial", RESULT_CANCEL,
       kHeader + offered(def) + kEnter, def},
      {"end of input before typing", {def}, "n\n", RESULT_CANCEL, kHeader + offered(def) + kEnter, def},
      {"automatic mode still asks at a warning", {"/opt/t", "/", 1}, "n\n", RESULT_NEXT,
       kHeader + "\n\nDefault directory: /opt/t.\n" + kElsewhere + kWarning, "/opt/t"},
  };
  for (const DialogCase& c : cases) {
    DialogResult result = run_dialog(c.setup, c.input);
    EXPECT_EQ(result.exit_status, 0) << c.name;
    EXPECT_EQ(result.outcome, c.outcome) << c.name;
    EXPECT_EQ(result.output, c.output) << c.name;
    EXPECT_EQ(result.directory, c.chosen) << c.name;
  }
}

TEST(SelectInstallDirectory, SizeIsShownInMebibytes) {
  DialogSetup setup{"/usr/t"};
  setup.required_bytes = 64744267;
  DialogResult result = run_dialog(setup, "y\n");
  EXPECT_EQ(result.output,
            "\n\nPlease select a directory for installation of\n    TELO  V3.8\n"
            "requiring approximately 61.745 MiByte of space.\n" + offered("/usr/t"));
}

TEST(SelectInstallDirectory, TypedLineLimit) {
  const std::string longest = "/usr/" + std::string(4094 - 5, 'a');
  DialogResult taken = run_dialog({"/usr/t"}, "n\n" + longest + "\n");
  EXPECT_EQ(taken.outcome, RESULT_NEXT);
  EXPECT_EQ(taken.directory, longest);

  DialogResult refused = run_dialog({"/usr/t"}, "n\n" + longest + "b\nc\n");
  EXPECT_EQ(refused.outcome, RESULT_CANCEL);
  EXPECT_EQ(refused.output, kHeader + offered("/usr/t") + kEnter + kTooLong + kRefusal);
  EXPECT_EQ(refused.directory, "/usr/t");
}

TEST(SelectInstallDirectory, RelativeAnswerLimitCountsTheWorkingDirectory) {
  ScopedTempDir cwd;  // "/tmp/..." outside /usr: the joined path draws a warning
  const std::size_t room = 4093 - cwd.path.size();
  const std::string fits(room, 'r');
  DialogResult taken = run_dialog({"/usr/t", cwd.path}, "n\n" + fits + "\nn\n");
  EXPECT_EQ(taken.outcome, RESULT_NEXT);
  EXPECT_EQ(taken.output, kHeader + offered("/usr/t") + kEnter + kElsewhere + kWarning);
  EXPECT_EQ(taken.directory, cwd.path + "/" + fits);

  DialogResult refused = run_dialog({"/usr/t", cwd.path}, "n\n" + fits + "r\nc\n");
  EXPECT_EQ(refused.outcome, RESULT_CANCEL);
  EXPECT_EQ(refused.output, kHeader + offered("/usr/t") + kEnter + kTooLong + kRefusal);
}

}  // namespace
}  // namespace telo
