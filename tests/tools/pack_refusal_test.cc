// Trees telo-pack must refuse: a clear message naming the file, exit
// status 1, and no output file (nor a temporary one) left behind.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/support/scoped_temp_dir.h"
#include "tests/tools/installer_dialogue.h"
#include "tests/tools/pack_fixture.h"
#include "tests/tools/tree_fixture.h"

namespace telo::testing {
namespace {

namespace fs = std::filesystem;

void make_sparse_file(const std::string& path, off_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, size), 0);
  ::close(fd);
}

void make_socket(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

// A chain of directories whose path below the root is `length` bytes long.
std::string deep_path(std::size_t length) {
  std::string path;
  while (path.size() + 201 < length) path += std::string(200, 'd') + "/";
  return path + std::string(length - path.size(), 'f');
}

// Creates `rel` below `root` with `contents`, from a descriptor of its
// directory: the whole path may be longer than the host's calls take.
void write_deep_file(const std::string& root, const std::string& rel, const std::string& contents) {
  const std::size_t slash = rel.rfind('/');
  fs::create_directories(root + "/" + rel.substr(0, slash));
  const int dir = ::open((root + "/" + rel.substr(0, slash)).c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0);
  const int fd = ::openat(dir, rel.substr(slash + 1).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::close(dir);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
  ::close(fd);
}

// The contents of `rel` below `root`, opened one component at a time;
// "(missing)" when it cannot be opened.
std::string read_deep_file(const std::string& root, const std::string& rel) {
  int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  std::size_t start = 0;
  for (std::size_t slash; dir >= 0 && (slash = rel.find('/', start)) != std::string::npos; start = slash + 1) {
    const int next = ::openat(dir, rel.substr(start, slash - start).c_str(), O_RDONLY | O_DIRECTORY);
    ::close(dir);
    dir = next;
  }
  const int fd = dir >= 0 ? ::openat(dir, rel.c_str() + start, O_RDONLY) : -1;
  if (dir >= 0) ::close(dir);
  if (fd < 0) return "(missing)";
  std::string contents;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) contents.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return contents;
}

struct RefusalCase {
  const char* name;
  std::function<std::string(const std::string& app)> make;   // returns the offending path
  const char* message;
};

class PackRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(PackRefusalTest, NamesTheFileAndLeavesNoOutput) {
  ScopedTempDir temp;
  make_tree(temp / "app", sample_app_files());
  fs::create_directory(temp / "out");
  std::string offending = GetParam().make(temp / "app");
  write_file(temp / "out/setup.bin", "an older installer\n");

  RunResult result = run_pack({"build", "-o", temp / "out/setup.bin", temp / "app"});

  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("telo-pack: error: " + offending), std::string::npos) << result.stderr_text;
  EXPECT_NE(result.stderr_text.find(GetParam().message), std::string::npos) << result.stderr_text;
  EXPECT_EQ(directory_names(temp / "out"), std::vector<std::string>{"setup.bin"});
  EXPECT_EQ(read_file(temp / "out/setup.bin"), "an older installer\n");
}

const RefusalCase kRefusals[] = {
    {"FileOf4GiB",
     [](const std::string& app) {
       make_sparse_file(app + "/huge.img", off_t{1} << 32);
       return app + "/huge.img";
     },
     "a file of 4 GiB or more cannot be packed"},
    {"Fifo",
     [](const std::string& app) {
       ::mkfifo((app + "/program/pipe").c_str(), 0644);
       return app + "/program/pipe";
     },
     "a FIFO cannot be packed"},
    {"Socket",
     [](const std::string& app) {
       make_socket(app + "/sock");
       return app + "/sock";
     },
     "a socket cannot be packed"},
    {"DanglingLink",
     [](const std::string& app) {
       fs::create_symlink("nowhere", app + "/program/link");
       return app + "/program/link";
     },
     "dangling symbolic link"},
    {"PathTooLong",
     [](const std::string& app) {
       // The whole path is too long for the host's calls: the file is made
       // from a descriptor of its directory.
       std::string rel = deep_path(4098);
       std::size_t slash = rel.rfind('/');
       fs::create_directories(app + "/" + rel.substr(0, slash));
       int dir = ::open((app + "/" + rel.substr(0, slash)).c_str(), O_RDONLY | O_DIRECTORY);
       ::close(::openat(dir, rel.substr(slash + 1).c_str(), O_WRONLY | O_CREAT, 0644));
       ::close(dir);
       return app + "/" + rel;
     },
     "longer than a record header allows"},
    {"Backslash",
     [](const std::string& app) {
       make_tree(app, {{"program/a\\b", "x"}});
       return app + "/program/a\\b";
     },
     "a name with '\\' in it cannot be installed"},
};

INSTANTIATE_TEST_SUITE_P(Trees, PackRefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& test) { return std::string(test.param.name); });

// The longest path a record holds (4097 bytes, the Java runtime's "jre/"
// included) is packed, however long the whole path on this host, and the
// installer installs it.
TEST(PackTreeLimitsTest, TheLongestPathARecordHoldsIsPackedAndInstalled) {
  ScopedTempDir temp;
  const std::string app_rel = deep_path(4097);
  const std::string jre_rel = deep_path(4097 - 4);
  write_deep_file(temp / "app", app_rel, "the deepest file\n");
  write_deep_file(temp / "jre", jre_rel, "the runtime's deepest file\n");
  ASSERT_GT((temp / "app/" + app_rel).size(), 4095u);

  const RunResult built = run_pack({"build", "-o", temp / "setup.bin", temp / "app", "--jre", temp / "jre"});
  ASSERT_EQ(built.exit_status, 0) << built.stderr_text;
  const DialogueResult installed = install_by_dialogue(temp / "setup.bin", temp / "installed");
  ASSERT_TRUE(installed.extracted) << installed.stderr_text;
  EXPECT_EQ(read_deep_file(temp / "installed", app_rel), "the deepest file\n");
  EXPECT_EQ(read_deep_file(temp / "installed", "jre/" + jre_rel), "the runtime's deepest file\n");
}

// Makes `levels` nested directories below `root`, the deepest named
// `last_dir`, and a file `name` in it; returns the file's path below root.
std::string make_deep_tree(const std::string& root, int levels, const std::string& last_dir, const std::string& name) {
  fs::create_directories(root);
  int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  std::string rel;
  for (int level = 0; level < levels && dir >= 0; ++level) {
    const std::string component = level + 1 == levels ? last_dir : "d";
    (void)::mkdirat(dir, component.c_str(), 0755);
    const int next = ::openat(dir, component.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(dir);
    dir = next;
    rel += component + "/";
  }
  const int file = dir >= 0 ? ::openat(dir, name.c_str(), O_WRONLY | O_CREAT, 0644) : -1;
  if (dir >= 0) ::close(dir);
  EXPECT_GE(file, 0) << rel;
  EXPECT_EQ(::write(file, "at the bottom\n", 14), 14);
  ::close(file);
  return rel + name;
}

// A record's path of 4097 bytes whose directories take 4095 of them (2047
// levels) is scanned and read without a descriptor per level: the packer
// runs here with 64 descriptors at most. One level more, and the directory
// part is longer than the installer can open: refused, naming the limit.
TEST(PackTreeLimitsTest, TheDeepestTreeIsPackedWithFewDescriptors) {
  ScopedTempDir temp;
  const std::string rel = make_deep_tree(temp / "app", 2047, "dd", "ff");
  ASSERT_EQ(rel.size(), 4097u);
  ASSERT_EQ(rel.rfind('/'), 4094u);
  const RunResult built = run_program({"/bin/sh", "-c", "ulimit -n 64 && exec \"$0\" \"$@\"", TELO_PACK_PATH,
                                       "build", "-o", temp / "setup.bin", temp / "app", "--jobs", "4"});
  ASSERT_EQ(built.exit_status, 0) << built.stderr_text;
  const DialogueResult installed = install_by_dialogue(temp / "setup.bin", temp / "installed");
  ASSERT_TRUE(installed.extracted) << installed.stderr_text;
  EXPECT_EQ(read_deep_file(temp / "installed", rel), "at the bottom\n");

  const std::string deeper = make_deep_tree(temp / "deeper", 2048, "d", "f");
  ASSERT_EQ(deeper.size(), 4097u);
  const RunResult refused = run_pack({"build", "-o", temp / "deeper.bin", temp / "deeper"});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_NE(refused.stderr_text.find("/f: its directories make a path of 4096 bytes; the installer opens at most 4095"),
            std::string::npos)
      << refused.stderr_text;
  EXPECT_FALSE(fs::exists(temp / "deeper.bin"));
}

TEST(PackTreeLimitsTest, FilesAddingUpTo4GiBAreRefused) {
  ScopedTempDir temp;
  make_tree(temp / "app", {{"a.txt", "a"}});
  make_sparse_file(temp / "app/one.img", off_t{3} << 30);
  make_sparse_file(temp / "app/two.img", off_t{3} << 30);
  RunResult result = run_pack({"build", "-o", temp / "setup.bin", temp / "app"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("the files add up to 6442450945 bytes"), std::string::npos) << result.stderr_text;
  EXPECT_FALSE(fs::exists(temp / "setup.bin"));
}

// An interrupted build leaves neither the installer nor its temporary file.
TEST(PackTreeLimitsTest, InterruptedBuildLeavesNothing) {
  ScopedTempDir temp;
  std::string text;
  for (unsigned i = 0; text.size() < (48u << 20); ++i) text += "line " + std::to_string(i * 7919u % 100003u) + "\n";
  make_tree(temp / "app", {{"big.txt", text}});
  fs::create_directory(temp / "out");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execl(TELO_PACK_PATH, TELO_PACK_PATH, "build", "-o", (temp / "out/setup.bin").c_str(),
            (temp / "app").c_str(), "--jobs", "1", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait until the temporary file exists, then interrupt.
  for (int i = 0; i < 500 && directory_names(temp / "out").empty(); ++i) ::usleep(10000);
  ASSERT_FALSE(directory_names(temp / "out").empty());
  ::kill(child, SIGINT);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_EQ(directory_names(temp / "out"), std::vector<std::string>{});
}

// Starts telo-pack with `args` in the background.
pid_t start_pack(const std::vector<std::string>& args) {
  pid_t child = ::fork();
  if (child == 0) {
    std::vector<char*> argv{const_cast<char*>(TELO_PACK_PATH)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int quiet = ::open("/dev/null", O_WRONLY);
    ::dup2(quiet, 2);
    ::execv(TELO_PACK_PATH, argv.data());
    _exit(127);
  }
  return child;
}

// An interrupt at any moment after the temporary file appears removes it,
// also in the instant between its creation and the arming of its removal.
TEST(PackTreeLimitsTest, AnInterruptRightAfterTheTemporaryAppearsLeavesNothing) {
  ScopedTempDir temp;
  make_tree(temp / "app", {{"big.bin", random_bytes(4 << 20, 5)}});
  fs::create_directory(temp / "out");
  for (int round = 0; round < 30; ++round) {
    pid_t child = start_pack({"build", "-o", temp / "out/setup.bin", temp / "app", "--jobs", "1"});
    ASSERT_GE(child, 0);
    int status = 0;
    while (directory_names(temp / "out").empty() && ::waitpid(child, &status, WNOHANG) == 0) {
    }
    ::kill(child, SIGINT);
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      fs::remove(temp / "out/setup.bin");  // finished before the interrupt
      continue;
    }
    ASSERT_EQ(directory_names(temp / "out"), std::vector<std::string>{}) << "round " << round;
  }
}

// A file that grows (or is rewritten) after the scan saw it is refused by
// name, never cut to the size seen then.
// With several threads the failed build also stops its workers while they
// still hold the files' entries.
TEST(PackTreeLimitsTest, AFileThatChangesWhileBeingPackedIsRefused) {
  for (const char* jobs : {"1", "4"}) {
    ScopedTempDir temp;
    make_tree(temp / "app", {{"a-first.bin", random_bytes(6 << 20, 1)}, {"b-growing.txt", std::string(1 << 20, 'g')}});
    fs::create_directory(temp / "out");
    const std::string errors = temp / "errors";
    pid_t child = ::fork();
    if (child == 0) {
      const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(err, 2);
      ::execl(TELO_PACK_PATH, TELO_PACK_PATH, "build", "-o", (temp / "out/setup.bin").c_str(),
              (temp / "app").c_str(), "--jobs", jobs, static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_GE(child, 0);
    // The temporary output appears once the scan is done; the growing file is
    // read only after the first one has been coded.
    while (directory_names(temp / "out").empty()) ::usleep(200);
    { std::ofstream(temp / "app/b-growing.txt", std::ios::app) << "more text written after the scan"; }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << " with --jobs " << jobs;
    EXPECT_NE(read_file(errors).find("b-growing.txt: the file changed while being packed"), std::string::npos)
        << read_file(errors);
    EXPECT_EQ(directory_names(temp / "out"), std::vector<std::string>{});
    const RunResult again = run_pack({"build", "-o", temp / "out/setup.bin", temp / "app"});
    EXPECT_EQ(again.exit_status, 0) << again.stderr_text;  // the same tree, left alone, packs
  }
}

TEST(PackTreeLimitsTest, AnOutputInsideATreeBeingPackedIsRefused) {
  ScopedTempDir temp;
  make_tree(temp / "app", {{"a.txt", "input"}, {"sub/b.txt", "b"}});
  make_tree(temp / "jre", {{"bin/java", "java"}});
  const std::vector<std::string> inside = {temp / "app/setup.bin", temp / "app/a.txt", temp / "app/sub/../x.bin",
                                           temp / "jre/bin/setup.bin"};
  for (const std::string& output : inside) {
    RunResult result = run_pack({"build", "-o", output, temp / "app", "--jre", temp / "jre"});
    EXPECT_EQ(result.exit_status, 1) << output;
    EXPECT_NE(result.stderr_text.find("the output lies inside"), std::string::npos) << result.stderr_text;
  }
  EXPECT_EQ(read_file(temp / "app/a.txt"), "input");
  EXPECT_EQ(directory_names(temp / "app"), (std::vector<std::string>{"a.txt", "sub"}));
  EXPECT_EQ(run_pack({"build", "-o", temp / "setup.bin", temp / "app", "--jre", temp / "jre"}).exit_status, 0);
}

TEST(PackTreeLimitsTest, CharacterDeviceIsRefused) {
  ScopedTempDir temp;
  make_tree(temp / "app", {{"a.txt", "a"}});
  if (::mknod((temp / "app/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
    GTEST_SKIP() << "cannot create a device node here";
  RunResult result = run_pack({"build", "-o", temp / "setup.bin", temp / "app"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find(temp / "app/null: a character device cannot be packed"), std::string::npos)
      << result.stderr_text;
  EXPECT_FALSE(fs::exists(temp / "setup.bin"));
}

TEST(PackTreeLimitsTest, LinkToAFileIsPackedAsTheFile) {
  ScopedTempDir temp;
  make_tree(temp / "app", {{"real.txt", "contents\n", 0755, 1600000000}});
  fs::create_symlink("real.txt", temp / "app/alias.txt");
  RunResult built = run_pack({"build", "-o", temp / "setup.bin", temp / "app"});
  ASSERT_EQ(built.exit_status, 0) << built.stderr_text;
  ASSERT_EQ(run_pack({"extract", temp / "setup.bin", temp / "out"}).exit_status, 0);
  EXPECT_EQ(compare_trees({{"alias.txt", "contents\n", 0755, 1600000000}, {"real.txt", "contents\n", 0755, 1600000000}},
                          read_tree(temp / "out")),
            "");
  EXPECT_FALSE(fs::is_symlink(temp / "out/alias.txt"));
}

TEST(PackTreeLimitsTest, EmptyDirectoryIsAWarning) {
  ScopedTempDir temp;
  make_tree(temp / "app", {{"a.txt", "a"}});
  fs::create_directories(temp / "app/logs");
  RunResult built = run_pack({"build", "-o", temp / "setup.bin", temp / "app"});
  EXPECT_EQ(built.exit_status, 0) << built.stderr_text;
  EXPECT_NE(built.stderr_text.find("telo-pack: warning: " + (temp / "app/logs") + ": empty directory"),
            std::string::npos)
      << built.stderr_text;
}

// A record time of 0 means "none": the installer would then leave the mode
// unset too, so such a file is packed one second later and keeps its mode.
TEST(PackTreeLimitsTest, FileDatedAtTheEpochKeepsItsMode) {
  ScopedTempDir temp;
  make_tree(temp / "app", {{"run.sh", "#!/bin/sh\n", 0755, 0}});
  RunResult built = run_pack({"build", "-o", temp / "setup.bin", temp / "app"});
  ASSERT_EQ(built.exit_status, 0) << built.stderr_text;
  EXPECT_NE(built.stderr_text.find("run.sh: modification time 0 cannot be stored"), std::string::npos);
  ASSERT_EQ(run_pack({"extract", temp / "setup.bin", temp / "out"}).exit_status, 0);
  EXPECT_EQ(compare_trees({{"run.sh", "#!/bin/sh\n", 0755, 1}}, read_tree(temp / "out")), "");
}

TEST(PackTreeLimitsTest, StubThatAlreadyCarriesAPayloadIsRefused) {
  ScopedTempDir temp;
  make_tree(temp / "app", {{"a.txt", "a"}});
  ASSERT_EQ(run_pack({"build", "-o", temp / "first.bin", temp / "app"}).exit_status, 0);
  RunResult result = run_pack({"build", "-o", temp / "second.bin", temp / "app", "--stub", temp / "first.bin"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("already carries a payload"), std::string::npos) << result.stderr_text;
  EXPECT_FALSE(fs::exists(temp / "second.bin"));
}

TEST(PackTreeLimitsTest, PathPackedTwiceIsRefused) {
  ScopedTempDir temp;
  make_tree(temp / "app", {{"jre/bin/java", "app's copy"}});
  make_tree(temp / "jre", {{"bin/java", "runtime's copy"}});
  RunResult result = run_pack({"build", "-o", temp / "setup.bin", temp / "app", "--jre", temp / "jre"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("jre/bin/java: packed twice"), std::string::npos) << result.stderr_text;
}

}  // namespace
}  // namespace telo::testing
