// Installers built by telo-pack from trees made here, installed by the real
// installer and extracted by telo-pack: the files must come back as packed.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/scoped_temp_dir.h"
#include "tests/tools/installer_dialogue.h"
#include "tests/tools/pack_fixture.h"
#include "tests/tools/tree_fixture.h"

namespace telo::testing {
namespace {

class PackInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    make_tree(temp / "app", sample_app_files());
    make_tree(temp / "jre1.6.0_04", sample_jre_files());
  }

  // The app and the JRE below jre/, as an installation must hold them.
  std::vector<TreeFile> expected_installation() const {
    std::vector<TreeFile> files = sample_app_files();
    for (TreeFile& file : with_prefix(sample_jre_files(), "jre/")) files.push_back(file);
    return files;
  }

  std::string build(const std::string& name, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"build", "-o", temp / name, temp / "app", "--jre", temp / "jre1.6.0_04",
                                  "--build-time", "1683063373"};
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult result = run_pack(args);
    EXPECT_EQ(result.exit_status, 0) << result.stderr_text;
    return temp / name;
  }

  ScopedTempDir temp;
};

TEST_F(PackInstallTest, InstallerWritesTheTreeWithContentsModesAndTimes) {
  std::string installer = build("setup.bin", {"--remove", "old/stale.txt", "--remove", "old"});
  // An earlier release left files that the removal records clear.
  std::string target = temp / "usr-local-telo";
  make_tree(target, {{"old/stale.txt", "stale\n"}});

  DialogueResult run = install_by_dialogue(installer, target);

  ASSERT_FALSE(run.timed_out) << run.stderr_text;
  EXPECT_TRUE(run.extracted) << run.stderr_text;
  EXPECT_EQ(run.exit_status, 1) << run.stderr_text;  // cancelled after extraction
  EXPECT_NE(run.stderr_text.find("Installation terminated."), std::string::npos);
  EXPECT_EQ(compare_trees(expected_installation(), read_tree(target)), "");
  EXPECT_FALSE(std::filesystem::exists(target + "/old"));
}

TEST_F(PackInstallTest, ExtractWritesTheSameTreeAsTheInstaller) {
  std::string installer = build("setup.bin");
  RunResult result = run_pack({"extract", installer, temp / "out"});
  ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
  EXPECT_EQ(compare_trees(expected_installation(), read_tree(temp / "out")), "");
}

TEST_F(PackInstallTest, BuildsAreByteIdenticalWhateverTheJobCount) {
  std::string one = build("one.bin", {"--jobs", "1"});
  std::string two = build("two.bin", {"--jobs", "2"});
  std::string again = build("again.bin", {"--jobs", "2"});
  std::string first = read_file(one);
  EXPECT_TRUE(first == read_file(two));
  EXPECT_TRUE(first == read_file(again));
}

TEST_F(PackInstallTest, OutputIsTheStubPaddedToAKilobyteThenThePayload) {
  std::string installer = build("setup.bin");
  std::string image = read_file(TELO_INSTALLER_PATH);
  std::string built = read_file(installer);
  std::size_t payload_at = (image.size() + 1023) / 1024 * 1024;
  ASSERT_GT(built.size(), payload_at);
  EXPECT_EQ(built.compare(0, image.size(), image), 0);
  EXPECT_EQ(built.substr(image.size(), payload_at - image.size()), std::string(payload_at - image.size(), '\0'));
  EXPECT_EQ(built.compare(payload_at, 36, "VORN(R)....SOFTWARE.....DISTRIBUTION"), 0);
  struct stat info {};
  ASSERT_EQ(::stat(installer.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
}

TEST_F(PackInstallTest, StoredBuildHoldsTheSameFiles) {
  std::string installer = build("stored.bin", {"--store"});
  RunResult list = run_pack({"list", installer});
  EXPECT_EQ(list.stdout_text.find("compressed"), std::string::npos) << list.stdout_text;
  RunResult result = run_pack({"extract", installer, temp / "out"});
  ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
  EXPECT_EQ(compare_trees(expected_installation(), read_tree(temp / "out")), "");
}

}  // namespace
}  // namespace telo::testing
