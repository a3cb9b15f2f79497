// Extraction as a user meets it: real installers carrying hand-made
// payloads, run in the sandbox into a directory under its /home, with the
// files left behind and the whole standard error compared.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "payload/crc16.h"
#include "pack/payload_writer.h"
#include "tests/support/namespace_sandbox.h"
#include "tests/support/payload_builder.h"
#include "tests/support/run_program.h"
#include "tests/support/target_program.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/support/host_texts.h"

namespace telo {
namespace {

namespace fs = std::filesystem;
using testing::BuiltPayload;
using testing::kTerminated;
using testing::read_file;
using testing::RunResult;
using testing::TestFile;
using testing::write_file;

const std::string kInstalling = "\n\n.... Installing files ....\n\n";
const std::string kInside = "/home/t/telo";  // the installation directory, as the installer sees it

std::string drawn(int files, int bytes, const std::string& shown) {
  char numbers[32];
  std::snprintf(numbers, sizeof numbers, "%3d%% %3d%%  ", files, bytes);
  return numbers + shown + " ";
}
std::string erased(const std::string& line) {
  std::string out;
  for (std::size_t i = 0; i < line.size(); ++i) out += "\b \b";
  return out;
}
// The line of one file that needed a single decode call (or none).
std::string file_line(int files, int bytes, const std::string& shown) {
  return drawn(files, bytes, shown) + erased(drawn(files, bytes, shown));
}

// What the user sees before extraction: welcome, Next, the dialog with the
// directory given by -TELO taken as the default.
std::string before_extraction(const PayloadHeader& header, const std::string& directory, bool typed) {
  std::string out =
      "\n\nVORN(R) Software Installation\n\n"
      "Thanks for purchasing VORN(R) imaging products.\n\n"
      "Let's install  TELO V3.8 for Linux 32 bit software! (build 230502.213613) !\n";
  if (typed) out += "\n[Next? Cancel?]: ";
  char size[128];
  std::snprintf(size, sizeof size, "requiring approximately %.3f MiByte of space.\n",
                header.slot_size[0] / 1048576.0);
  out += "\n\nPlease select a directory for installation of\n    TELO  V3.8\n" + std::string(size);
  out += "\n\nDefault directory: " + directory + ".\n";
  if (typed) out += "\nUse the default directory? [No? Yes? Cancel?]: ";
  return out + kInstalling;
}

struct Installation {
  testing::HostSandbox box;
  std::string installer = box.dir / "telo-setup.bin";
  BuiltPayload payload;
  std::string inside = kInside;
  std::vector<std::string> env;  // extra NAME=VALUE entries for every run

  // An x86 host whatever the build's target: its first question after
  // extraction ("Proceed?") is the one the typed answers cancel. (On an ARM
  // host it would be "Install JRE?", which has no Cancel.)
  Installation() { box.set_machine("i686"); }

  // The installation directory as the test sees it.
  std::string target(const std::string& rel = "") const {
    return box.host_path(inside + (rel.empty() ? "" : "/" + rel));
  }
  void write(const std::vector<std::uint8_t>& extra = {}) {
    std::vector<std::uint8_t> bytes = payload.bytes();
    bytes.insert(bytes.end(), extra.begin(), extra.end());
    testing::write_installer(installer, bytes);
  }
  // Typed answers: Next, the default directory, and Cancel at the first
  // question after extraction, so nothing past it touches the host.
  RunResult run_typed(bool pty = false) {
    write();
    return start({"-TELO", inside}, "n\ny\nc\n", pty);
  }
  // Automatic mode, for payloads that end the run during extraction.
  RunResult run_auto() {
    write();
    return start({"-autonext", "-TELO", inside}, "");
  }
  // Runs the installer as written last.
  RunResult start(const std::vector<std::string>& args, const std::string& input, bool pty = false) const {
    testing::SandboxRun run;
    run.args = args;
    run.input = input;
    run.use_pty = pty;
    run.env = env;
    return testing::run_in_namespace(box, installer, run);
  }
  std::string expected_start(bool typed = true) const {
    return before_extraction(payload.header, inside, typed);
  }
};

// The standard error of a run that ended during extraction.
std::string failed_with(const Installation& run, const std::string& progress, const std::string& message) {
  return run.expected_start(false) + progress + message + "\n" + kTerminated;
}

std::uint32_t header_length_of(const BuiltPayload& p, std::size_t index) {
  return load_u32(p.records.data() + p.record_starts[index]);
}

// Replaces record `index`'s header (its stored bytes stay where they are).
void replace_header(BuiltPayload& p, std::size_t index, const std::vector<std::uint8_t>& header) {
  std::size_t start = p.record_starts[index];
  std::uint32_t old_length = header_length_of(p, index);
  p.records.erase(p.records.begin() + start, p.records.begin() + start + old_length);
  p.records.insert(p.records.begin() + start, header.begin(), header.end());
  for (std::size_t k = index + 1; k < p.record_starts.size(); ++k)
    p.record_starts[k] = p.record_starts[k] - old_length + header.size();
}

FileRecord record_at(const BuiltPayload& p, std::size_t index) {
  return decode_record_header(p.records.data() + p.record_starts[index]);
}

mode_t current_umask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

struct stat status_of(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) info.st_mode = 0;
  return info;
}

std::string patterned(std::size_t size, unsigned variant) {
  std::string text(size, '\0');
  unsigned v = variant;
  for (std::size_t i = 0; i < size; ++i) {
    v = v * 1103515245u + 12345u;
    text[i] = static_cast<char>("abcdefgh \n"[(v >> 16) % 10]);
  }
  return text;
}

constexpr std::uint32_t kTime1 = 1600000000;
constexpr std::uint32_t kTime2 = 1700000000;

TEST(Extraction, WritesEveryKindOfRecord) {
  Installation run;
  const std::string big = patterned(50000, 7);  // several decode calls
  run.payload = testing::build_payload({
      {"a/b/stored.txt", "stored contents\n", METHOD_STORED, kTime1, 0100644},
      {"bin/tool", big, METHOD_COMPRESSED, kTime2, 0100755},
      {"empty", "", METHOD_STORED, kTime1, 0100600},
      {"no-time.txt", "now", METHOD_STORED, 0, 0100700},  // neither time nor mode set
      {"odd-method", "decoded like method 1", 5, kTime1, 0100644},
      {"missing", "", METHOD_REMOVE},
      {"old/empty-dir", "", METHOD_REMOVE},
      {"old/full-dir", "", METHOD_REMOVE},
      {"old/file", "", METHOD_REMOVE},
  });
  fs::create_directories(run.target("old/empty-dir"));
  fs::create_directories(run.target("old/full-dir"));
  fs::create_directories(run.target("a/b"));
  write_file(run.target("old/full-dir/keep"), "kept");
  write_file(run.target("old/file"), "gone");
  write_file(run.target("a/b/stored.txt"), "a much longer earlier version of the stored file\n");

  RunResult result = run.run_typed();
  EXPECT_EQ(result.exit_status, 1);
  ASSERT_TRUE(result.stderr_text.starts_with(run.expected_start())) << result.stderr_text;
  EXPECT_TRUE(result.stderr_text.ends_with(kTerminated));

  const std::pair<const char*, mode_t> modes[] = {
      {"a/b/stored.txt", 0644}, {"bin/tool", 0755}, {"empty", 0600}, {"odd-method", 0644}};
  for (const auto& [name, mode] : modes) {
    struct stat info = status_of(run.target(name));
    EXPECT_EQ(info.st_mode & 07777, mode) << name;
    EXPECT_EQ(info.st_mtime, name == std::string("bin/tool") ? kTime2 : kTime1) << name;
    EXPECT_EQ(info.st_atime, info.st_mtime) << name;
  }
  // Reading the files comes after the times were looked at: it moves atime.
  EXPECT_EQ(read_file(run.target("a/b/stored.txt")), "stored contents\n");
  EXPECT_EQ(read_file(run.target("bin/tool")), big);
  EXPECT_EQ(read_file(run.target("empty")), "");
  EXPECT_EQ(read_file(run.target("no-time.txt")), "now");
  EXPECT_EQ(read_file(run.target("odd-method")), "decoded like method 1");
  struct stat fresh = status_of(run.target("no-time.txt"));
  EXPECT_EQ(fresh.st_mode & 07777, 0666 & ~current_umask());
  EXPECT_GT(fresh.st_mtime, kTime2);
  EXPECT_FALSE(fs::exists(run.target("missing")));
  EXPECT_FALSE(fs::exists(run.target("old/empty-dir")));
  EXPECT_EQ(read_file(run.target("old/full-dir/keep")), "kept");
  EXPECT_FALSE(fs::exists(run.target("old/file")));
}

TEST(Extraction, ProgressOfSmallFilesAndRemovalsByteForByte) {
  Installation run;
  run.inside = "/home/t/not/yet/telo";  // created with its missing parents
  run.payload = testing::build_payload({
      {"gone", "", METHOD_REMOVE},
      {"one.txt", std::string(30, 'x'), METHOD_STORED, kTime1},
      {"two.txt", std::string(10, 'y'), METHOD_COMPRESSED, kTime1},
      {"gone-too", "", METHOD_REMOVE},
  });
  RunResult result = run.run_typed();
  // The removal counts in the files percentage of the files after it; the
  // bytes percentage counts the sizes of the files written so far (30 of 40).
  const std::string progress = file_line(25, 75, "one.txt") + file_line(50, 100, "two.txt");
  ASSERT_TRUE(result.stderr_text.starts_with(run.expected_start() + progress)) << result.stderr_text;
  // Whatever the next step prints starts a fresh paragraph.
  EXPECT_EQ(result.stderr_text.substr(run.expected_start().size() + progress.size(), 2), "\n\n");
  EXPECT_TRUE(result.stderr_text.ends_with(kTerminated));
  EXPECT_EQ(read_file(run.target("two.txt")), std::string(10, 'y'));
}

TEST(Extraction, AnEmptyPayloadOnlyShowsTheBanner) {
  Installation run;
  run.payload = testing::build_payload({});
  RunResult result = run.run_typed();
  ASSERT_TRUE(result.stderr_text.starts_with(run.expected_start() + "\n\n")) << result.stderr_text;
  EXPECT_FALSE(fs::exists(run.target()));
}

TEST(Extraction, WithZeroTotalSizeTheBytesShowAHundred) {
  Installation run;
  run.payload = testing::build_payload({{"a", "", METHOD_STORED}, {"b", "", METHOD_STORED}});
  RunResult result = run.run_typed();
  ASSERT_TRUE(result.stderr_text.starts_with(run.expected_start() + file_line(0, 100, "a") +
                                             file_line(50, 100, "b") + "\n\n"))
      << result.stderr_text;
}

TEST(Extraction, BytesAfterTheLastRecordAreIgnored) {
  Installation run;
  run.payload = testing::build_payload({{"only", "data", METHOD_STORED, kTime1}});
  run.write(std::vector<std::uint8_t>(5000, 0xEE));
  RunResult result = run.start({"-TELO", run.inside}, "n\ny\nc\n");
  ASSERT_TRUE(result.stderr_text.starts_with(run.expected_start() + file_line(0, 100, "only") + "\n\n"))
      << result.stderr_text;
  EXPECT_EQ(read_file(run.target("only")), "data");
}

TEST(Extraction, HeaderLengthsAtTheLimitsAreAccepted) {
  Installation run;
  run.payload = testing::build_payload({{"ab", "short", METHOD_STORED}, {"padded", "long", METHOD_STORED}});
  ASSERT_EQ(header_length_of(run.payload, 0), 41u);
  FileRecord padded = record_at(run.payload, 1);
  padded.header_length = kMaxRecordHeader;
  replace_header(run.payload, 1, make_record_header(padded, "padded"));
  run.payload.header.total_header_size = 41 + kMaxRecordHeader;
  testing::reseal(run.payload);
  RunResult result = run.run_typed();
  ASSERT_TRUE(result.stderr_text.starts_with(run.expected_start() + file_line(0, 55, "ab") +
                                             file_line(50, 100, "padded") + "\n\n"))
      << result.stderr_text;
  EXPECT_EQ(read_file(run.target("ab")), "short");
  EXPECT_EQ(read_file(run.target("padded")), "long");
}

// A payload of three stored files whose second record a case damages.
struct DamageCase {
  const char* name;
  std::function<void(BuiltPayload&)> damage;
  std::string message;
};

void set_header_field(BuiltPayload& p, std::size_t offset, std::uint32_t value, bool reseal_crc) {
  FileRecord record = record_at(p, 1);
  std::uint8_t* header = p.records.data() + p.record_starts[1];
  store_u32(header + offset, value);
  if (reseal_crc) {
    store_u16(header + record_offset::kRecordCrc, 0);
    store_u16(header + record_offset::kRecordCrc, crc16({header, record.header_length}));
  }
}

void with_header(BuiltPayload& p, FileRecord record, const std::string& path) {
  replace_header(p, 1, make_record_header(record, path));
}

TEST(Extraction, EachDamageEndsWithItsMessageAndLeavesWhatWasWritten) {
  const std::string second(5000, 's');
  const DamageCase cases[] = {
      {"header length 40",
       [](BuiltPayload& p) { set_header_field(p, record_offset::kHeaderLength, 40, false); },
       "Corrupted file(s) (err=1)."},
      {"header length 4137",
       [](BuiltPayload& p) { set_header_field(p, record_offset::kHeaderLength, 4137, false); },
       "Corrupted file(s) (err=1)."},
      {"fewer records than counted",
       [](BuiltPayload& p) {
         p.records.resize(p.record_starts[1]);
         testing::reseal(p);
       },
       "Corrupted file(s) (err=1)."},
      {"header cut short",
       [](BuiltPayload& p) { p.records.resize(p.record_starts[1] + 20); },
       "Corrupted file(s) (err=2)."},
      {"header checksum",
       [](BuiltPayload& p) { set_header_field(p, record_offset::kMtime, 12345, false); },
       "Corrupted file(s) (err=6)."},
      {"stored bytes cut short",
       [](BuiltPayload& p) { p.records.resize(p.record_starts[2] - 10); },
       "Corrupted file(s) (err=3)."},
      {"stored checksum",
       [](BuiltPayload& p) { p.records[p.record_starts[2] - 1] ^= 1; },
       "Corrupted file(s) (err=4)."},
      {"data checksum",
       [](BuiltPayload& p) {
         FileRecord r = record_at(p, 1);
         r.data_crc ^= 1;
         with_header(p, r, "second");
       },
       "Corrupted file(s) (err=5)."},
      {"path with '..' that would escape",
       [](BuiltPayload& p) { with_header(p, record_at(p, 1), "../../escaped"); },
       "Corrupted file(s) (err=7)."},
      {"'..' below the top that climbs out",
       [](BuiltPayload& p) { with_header(p, record_at(p, 1), "a/../../escaped"); }, "Corrupted file(s) (err=7)."},
      {"removal of '..'",
       [](BuiltPayload& p) {
         FileRecord r;
         r.method = METHOD_REMOVE;
         with_header(p, r, "..");
       },
       "Corrupted file(s) (err=7)."},
      {"unterminated path",
       [](BuiltPayload& p) {
         FileRecord r = record_at(p, 1);
         r.header_length = 44;
         with_header(p, r, "second");  // six characters in six bytes: no terminator
       },
       "Corrupted file(s) (err=7)."},
      {"stored size differs from size",
       [](BuiltPayload& p) { set_header_field(p, record_offset::kSize, 6000, true); },
       "Corrupted file(s) (err=7)."},
      {"compressed record of size 0",
       [](BuiltPayload& p) {
         FileRecord r = record_at(p, 1);
         r.method = METHOD_COMPRESSED;
         r.size = 0;
         with_header(p, r, "second");
       },
       "Corrupted file(s) (err=7)."},
  };
  // Each damage once into a fresh directory, and once over an earlier
  // installation, whose files the damaged record and those after it leave
  // as they were; no file is left empty or half written, and no temporary.
  for (const DamageCase& c : cases) {
    for (bool over_earlier : {false, true}) {
      Installation run;
      run.payload = testing::build_payload({
          {"first", "first file", METHOD_STORED, kTime1},
          {"second", second, METHOD_STORED, kTime1},
          {"third", "third file", METHOD_STORED, kTime1},
      });
      c.damage(run.payload);
      if (over_earlier) {
        fs::create_directories(run.target());
        for (const char* name : {"first", "second", "third"}) write_file(run.target(name), std::string("old ") + name);
      }
      RunResult result = run.run_auto();
      EXPECT_EQ(result.exit_status, 1) << c.name;
      EXPECT_EQ(result.stderr_text, failed_with(run, file_line(0, 0, "first"), c.message)) << c.name;
      EXPECT_EQ(read_file(run.target("first")), "first file") << c.name;
      if (over_earlier) {
        EXPECT_EQ(read_file(run.target("second")), "old second") << c.name;
        EXPECT_EQ(read_file(run.target("third")), "old third") << c.name;
      } else {
        EXPECT_FALSE(fs::exists(run.target("second"))) << c.name;
        EXPECT_FALSE(fs::exists(run.target("third"))) << c.name;
      }
      EXPECT_EQ(std::distance(fs::directory_iterator(run.target()), fs::directory_iterator()),
                over_earlier ? 3 : 1)
          << c.name;
      EXPECT_FALSE(fs::exists(run.box.host_path("/home/escaped"))) << c.name;
      EXPECT_FALSE(fs::exists(run.box.host_path("/home/t/escaped"))) << c.name;
    }
  }
}

RunResult run_with_file_size_limit(const Installation& run, rlim_t bytes);

// A path is joined to the installation directory with a '/': an absolute
// one, or one whose ".." comes back inside, is installed there as written;
// an empty one names the directory itself, which cannot be a file.
TEST(Extraction, PathsThatStayInsideAreInstalledAsWritten) {
  {
    Installation run;
    run.payload = testing::build_payload({
        {"/abs/x", "absolute", METHOD_STORED, kTime1},
        {"a/../b", "back inside", METHOD_STORED, kTime1},
        {"c//./d", "folded", METHOD_STORED, kTime1},
        {"b", "", METHOD_REMOVE},
        {"a/../e", "again", METHOD_STORED, kTime1},
    });
    RunResult result = run.run_typed();
    EXPECT_EQ(result.stderr_text.find("(err="), std::string::npos) << result.stderr_text;
    EXPECT_EQ(read_file(run.target("abs/x")), "absolute");
    EXPECT_TRUE(fs::is_directory(run.target("a")));
    EXPECT_FALSE(fs::exists(run.target("b")));
    EXPECT_EQ(read_file(run.target("c/d")), "folded");
    EXPECT_EQ(read_file(run.target("e")), "again");
  }
  {
    Installation run;
    run.payload = testing::build_payload({{"", "x", METHOD_STORED, kTime1}});
    RunResult result = run.run_auto();
    EXPECT_EQ(result.stderr_text, failed_with(run, "", "Can't create file - Is a directory (err=5)."));
    EXPECT_TRUE(fs::is_directory(run.target()));
  }
}

// The shared folders carry default ACLs that grant group and others rw-
// only; a folder made below one later must still be one others can enter.
std::vector<std::uint8_t> shared_default_acl() {
  // Version 2, then entries of tag, permissions and id (none): owner rwx, group rw-, others rw-.
  return {2,    0, 0, 0,                                 //
          0x01, 0, 7, 0, 0xFF, 0xFF, 0xFF, 0xFF,         //
          0x04, 0, 6, 0, 0xFF, 0xFF, 0xFF, 0xFF,         //
          0x20, 0, 6, 0, 0xFF, 0xFF, 0xFF, 0xFF};
}

TEST(Extraction, FoldersMadeBelowASharedFolderCanBeEnteredByOthers) {
  Installation run;
  run.payload = testing::build_payload({{"data/new/deeper/file", "x", METHOD_STORED, kTime1}});
  fs::create_directories(run.target("data"));
  ::chmod(run.target("data").c_str(), 0777);
  const std::vector<std::uint8_t> acl = shared_default_acl();
  if (::setxattr(run.target("data").c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) != 0)
    GTEST_SKIP() << "no ACLs on this file system";
  RunResult result = run.run_typed();
  ASSERT_EQ(read_file(run.target("data/new/deeper/file")), "x") << result.stderr_text;
  for (const char* folder : {"data/new", "data/new/deeper"})
    EXPECT_EQ(status_of(run.target(folder)).st_mode & 07777, 0755 & ~current_umask()) << folder;
}

// The temporary beside a file never takes a name someone else made: not a
// record's own file that looks like one, not a folder another user put
// there. Both with nameless files and without.
TEST(Extraction, TemporaryNamesNeverTakeWhatOthersMade) {
  for (bool nameless : {true, false}) {
    {
      Installation run;
      if (!nameless) run.env.push_back("TELO_WITHOUT_TMPFILE=1");
      run.payload = testing::build_payload({
          {".a.telo-new", "a record of its own", METHOD_STORED, kTime1},
          {"a", "the file a", METHOD_STORED, kTime1},
      });
      RunResult result = run.run_typed();
      EXPECT_EQ(read_file(run.target(".a.telo-new")), "a record of its own") << nameless << result.stderr_text;
      EXPECT_EQ(read_file(run.target("a")), "the file a") << nameless;
    }
    {
      Installation run;
      if (!nameless) run.env.push_back("TELO_WITHOUT_TMPFILE=1");
      run.payload = testing::build_payload({{"data/b", "new b", METHOD_STORED, kTime1}});
      fs::create_directories(run.target("data/.b.telo-new"));
      ::chmod(run.target("data").c_str(), 0777);
      ::chown(run.target("data/.b.telo-new").c_str(), 1000, 1000);
      write_file(run.target("data/b"), "old b");
      RunResult result = run.run_typed();
      EXPECT_EQ(result.stderr_text.find("(err="), std::string::npos) << nameless << result.stderr_text;
      EXPECT_EQ(read_file(run.target("data/b")), "new b") << nameless;
      EXPECT_TRUE(fs::is_directory(run.target("data/.b.telo-new"))) << nameless;
    }
  }
}

// Where files get a temporary name from the start, a record that fails its
// checks, or a file that cannot be written whole, leaves no trace of it.
TEST(Extraction, WithoutNamelessFilesAFaultLeavesNoTemporary) {
  for (bool over_earlier : {false, true}) {
    Installation run;
    run.env.push_back("TELO_WITHOUT_TMPFILE=1");
    run.payload = testing::build_payload({{"large", patterned(300000, 3), METHOD_COMPRESSED, kTime1}});
    FileRecord r = record_at(run.payload, 0);
    r.data_crc ^= 1;
    replace_header(run.payload, 0, make_record_header(r, "large"));
    if (over_earlier) {
      fs::create_directories(run.target());
      write_file(run.target("large"), "old");
    }
    RunResult result = run.run_auto();
    EXPECT_TRUE(result.stderr_text.ends_with("Corrupted file(s) (err=5).\n" + kTerminated)) << result.stderr_text;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(run.target())) names.push_back(entry.path().filename());
    EXPECT_EQ(names, over_earlier ? std::vector<std::string>{"large"} : std::vector<std::string>{}) << over_earlier;
    if (over_earlier) {
      EXPECT_EQ(read_file(run.target("large")), "old");
    }
  }
  {
    Installation run;
    run.env.push_back("TELO_WITHOUT_TMPFILE=1");
    run.payload = testing::build_payload({{"large", patterned(200000, 5), METHOD_STORED, kTime1}});
    run.write();
    RunResult result = run_with_file_size_limit(run, 100000);
    EXPECT_TRUE(result.stderr_text.ends_with("Error saving data - File too large (err=1).\n" + kTerminated))
        << result.stderr_text;
    EXPECT_TRUE(fs::is_empty(run.target()));
  }
}

// A link planted at a file's path, or at one of its directories, is followed
// as opening the path would follow it, as long as it stays inside (an
// absolute one too, when it names a path inside); a link that leads nowhere
// stands in the way of a directory as a file would.
TEST(Extraction, LinksThatStayInsideAreFollowedAtEveryComponent) {
  Installation run;
  run.payload = testing::build_payload({
      {"data/settings.ini", "relative", METHOD_STORED, kTime1},
      {"conf.ini", "absolute", METHOD_STORED, kTime1},
      {"sub/x", "through a folder", METHOD_STORED, kTime1},
      {"later", "1", METHOD_STORED, kTime1},
  });
  fs::create_directories(run.target("data"));
  fs::create_directories(run.target("kept"));
  fs::create_symlink("../kept/settings.ini", run.target("data/settings.ini"));
  fs::create_symlink(kInside + "/kept/conf.ini", run.target("conf.ini"));
  fs::create_directory_symlink(kInside + "/kept", run.target("sub"));
  RunResult result = run.run_typed();
  EXPECT_EQ(result.stderr_text.find("(err="), std::string::npos) << result.stderr_text;
  EXPECT_EQ(read_file(run.target("kept/settings.ini")), "relative");
  EXPECT_EQ(read_file(run.target("kept/conf.ini")), "absolute");
  EXPECT_EQ(read_file(run.target("kept/x")), "through a folder");
  EXPECT_TRUE(fs::is_symlink(run.target("data/settings.ini")));
  EXPECT_TRUE(fs::is_symlink(run.target("conf.ini")));

  Installation dangling;
  dangling.payload = testing::build_payload({{"gone/x", "x", METHOD_STORED, kTime1}});
  fs::create_directories(dangling.target());
  fs::create_symlink("missing", dangling.target("gone"));
  result = dangling.run_auto();
  EXPECT_EQ(result.stderr_text, failed_with(dangling, "", "Can't create directory - File exists (err=4)."));
  EXPECT_FALSE(fs::exists(dangling.target("missing")));
}

TEST(Extraction, AnUndecodableStreamIsADecompressionError) {
  Installation run;
  run.payload = testing::build_payload({{"bad", std::string(20000, 'z'), METHOD_COMPRESSED, kTime1}});
  // Replace the stream by bytes the decoder cannot take, with matching stored checksum.
  FileRecord r = record_at(run.payload, 0);
  std::size_t stored_at = run.payload.record_starts[0] + r.header_length;
  std::fill(run.payload.records.begin() + stored_at, run.payload.records.end(), 0xFF);
  r.stored_crc = crc16({run.payload.records.data() + stored_at, r.stored_size});
  replace_header(run.payload, 0, make_record_header(r, "bad"));
  RunResult result = run.run_auto();
  EXPECT_EQ(result.exit_status, 1);
  ASSERT_TRUE(result.stderr_text.starts_with(run.expected_start(false))) << result.stderr_text;
  EXPECT_TRUE(result.stderr_text.ends_with("Decompression error (err=1).\n" + kTerminated))
      << result.stderr_text;
  EXPECT_FALSE(fs::exists(run.target("bad")));
}

TEST(Extraction, ASymbolicLinkAtAFilesPathIsNeverWrittenThrough) {
  Installation run;
  run.payload = testing::build_payload({{"data/settings.ini", "payload", METHOD_STORED, kTime1}});
  const std::string victim = run.box.dir / "victim";
  write_file(victim, "precious");
  fs::create_directories(run.target("data"));
  fs::create_symlink(victim, run.target("data/settings.ini"));
  RunResult result = run.run_auto();
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.stderr_text,
            failed_with(run, "", "Can't create file - Too many levels of symbolic links (err=5)."));
  EXPECT_EQ(read_file(victim), "precious");
  EXPECT_TRUE(fs::is_symlink(run.target("data/settings.ini")));
}

// Any user may plant a link in the installation's shared folders before the
// super-user's next installation: nothing may be written or removed through
// one that leads outside, while one that stays inside still works.
TEST(Extraction, LinksInsideTheInstallationNeverLeadOutOfIt) {
  const std::string elsewhere = "/home/elsewhere";
  for (const std::string& link : {elsewhere, std::string("../../elsewhere")}) {
    Installation run;
    run.payload = testing::build_payload({{"sub/x", "payload", METHOD_STORED, kTime1}});
    fs::create_directories(run.box.host_path(elsewhere));
    fs::create_directories(run.target());
    fs::create_directory_symlink(link, run.target("sub"));
    RunResult result = run.run_auto();
    EXPECT_EQ(result.stderr_text,
              failed_with(run, "", "Can't create directory - Too many levels of symbolic links (err=4)."))
        << link;
    EXPECT_TRUE(fs::is_empty(run.box.host_path(elsewhere))) << link;
  }
  {
    Installation run;
    run.payload = testing::build_payload({{"data/sub/x", "payload", METHOD_STORED, kTime1}});
    fs::create_directories(run.target("data"));
    fs::create_directories(run.target("kept"));
    fs::create_directory_symlink("../kept", run.target("data/sub"));
    RunResult result = run.run_typed();
    EXPECT_TRUE(result.stderr_text.starts_with(run.expected_start() + file_line(0, 100, "data/sub/x")))
        << result.stderr_text;
    EXPECT_EQ(read_file(run.target("kept/x")), "payload");
  }
  {
    Installation run;
    run.payload = testing::build_payload({{"sub/victim", "", METHOD_REMOVE}, {"a", "a", METHOD_STORED, kTime1}});
    fs::create_directories(run.box.host_path(elsewhere));
    write_file(run.box.host_path(elsewhere + "/victim"), "precious");
    fs::create_directories(run.target());
    fs::create_directory_symlink(elsewhere, run.target("sub"));
    run.run_typed();
    EXPECT_EQ(read_file(run.box.host_path(elsewhere + "/victim")), "precious");
    EXPECT_EQ(read_file(run.target("a")), "a");
  }
}

TEST(Extraction, FilesystemRefusalsEndWithTheSystemsText) {
  {
    Installation run;
    run.payload = testing::build_payload({{"sub/x", "x", METHOD_STORED}});
    fs::create_directories(run.target());
    write_file(run.target("sub"), "a file where a directory belongs");
    RunResult result = run.run_auto();
    EXPECT_EQ(result.stderr_text, failed_with(run, "", "Can't create directory - File exists (err=4)."));
  }
  {
    Installation run;
    run.payload = testing::build_payload({{"dir/", "x", METHOD_STORED}});
    RunResult result = run.run_auto();
    EXPECT_EQ(result.stderr_text, failed_with(run, "", "Can't create file - Is a directory (err=5)."));
    EXPECT_TRUE(fs::is_directory(run.target("dir")));
  }
}

// Runs the installer as written last with a limit on the size of the files
// it writes (the limit and the ignored signal pass to the installer).
RunResult run_with_file_size_limit(const Installation& run, rlim_t bytes) {
  struct rlimit old_limit {};
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  struct rlimit limit = old_limit;
  limit.rlim_cur = bytes;
  auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &limit);
  RunResult result = run.start({"-autonext", "-TELO", run.inside}, "");
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_handler);
  return result;
}

TEST(Extraction, AShortWriteIsAnErrorSavingData) {
  for (std::uint32_t method : {METHOD_STORED, METHOD_COMPRESSED}) {
    Installation run;
    run.payload = testing::build_payload({{"large", patterned(200000, 5), method, kTime1}});
    run.write();
    RunResult result = run_with_file_size_limit(run, 100000);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_TRUE(result.stderr_text.ends_with("Error saving data - File too large (err=1).\n" + kTerminated))
        << result.stderr_text;
    EXPECT_FALSE(fs::exists(run.target("large")));
  }
}

// A file is written while it decodes (here from its 64th decode call on),
// but a fault of the record itself is told before a write that failed on the
// way, as when it was written whole after its checks.
TEST(Extraction, ARecordsOwnFaultIsToldBeforeAFailedWrite) {
  Installation run;
  run.payload = testing::build_payload({{"large", patterned(1200000, 5), METHOD_COMPRESSED, kTime1}});
  FileRecord r = record_at(run.payload, 0);
  r.data_crc ^= 1;
  replace_header(run.payload, 0, make_record_header(r, "large"));
  run.write();
  RunResult result = run_with_file_size_limit(run, 100000);
  EXPECT_TRUE(result.stderr_text.ends_with("Corrupted file(s) (err=5).\n" + kTerminated)) << result.stderr_text;
  EXPECT_FALSE(fs::exists(run.target("large")));
}

// On a terminal the line is redrawn in place: a compressed file of three
// pieces moves it twice while decoding, and its long path keeps its tail.
TEST(Extraction, ProgressLineOnATerminal) {
  Installation run;
  const std::string long_path = "app/very/long/directory/name/for/testing/progress/file.bin";
  run.payload = testing::build_payload({
      {long_path, patterned(20000, 3), METHOD_COMPRESSED, kTime1},
      {"b.txt", "0123456789", METHOD_STORED, kTime1},
  });
  RunResult result = run.run_typed(/*pty=*/true);
  const std::string shown = ".../progress/file.bin";
  ASSERT_EQ(long_path[40], '/');  // the first separator at or after index 40
  const std::string at40 = drawn(0, 40, shown);  // 8192 of 20010 bytes
  const std::string at81 = drawn(0, 81, shown);  // 16384
  const std::string at99 = drawn(0, 99, shown);  // 20000, the file written
  const std::string progress = at40 + std::string(at40.size(), '\b') + at81 +
                               std::string(at81.size(), '\b') + at99 + erased(at99) +
                               file_line(50, 100, "b.txt");
  ASSERT_TRUE(result.stdout_text.starts_with(run.expected_start() + progress)) << result.stdout_text;
  EXPECT_EQ(result.stdout_text.substr(run.expected_start().size() + progress.size(), 2), "\n\n");
  EXPECT_EQ(read_file(run.target(long_path)), patterned(20000, 3));
}

// Where no second thread can be started (here: a user allowed no more
// processes than the installer itself), the records are read in turn on the
// installer's own thread: the same messages, the same files.
TEST(Extraction, WithoutASecondThreadEverythingIsTheSame) {
  if (testing::needs_target_emulator(TELO_INSTALLER_PATH))
    GTEST_SKIP() << "the emulator needs a thread of its own, so one process cannot run the installer";
  const std::vector<TestFile> files = {
      {"a/one", patterned(50000, 7), METHOD_COMPRESSED, kTime1},
      {"b/two", "two", METHOD_STORED, kTime1},
      {"gone", "", METHOD_REMOVE},
      {"three", patterned(20000, 3), METHOD_COMPRESSED, kTime2},
  };
  auto install = [&](bool one_process) {
    Installation run;
    run.inside = std::string(testing::kUserHome) + "/telo";
    run.payload = testing::build_payload(files);
    run.write();
    testing::SandboxRun as_alice;
    as_alice.args = {"-TELO", run.inside};
    as_alice.input = "n\ny\nc\n";
    as_alice.as_user = true;
    as_alice.home = testing::kUserHome;
    // A leak checker needs a process of its own, which this run does not allow.
    const char* asan = std::getenv("ASAN_OPTIONS");
    if (one_process) as_alice.env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
    struct rlimit old_limit {};
    ::getrlimit(RLIMIT_NPROC, &old_limit);
    struct rlimit limit = old_limit;
    if (one_process) limit.rlim_cur = 1;
    ::setrlimit(RLIMIT_NPROC, &limit);
    RunResult result = testing::run_in_namespace(run.box, run.installer, as_alice);
    ::setrlimit(RLIMIT_NPROC, &old_limit);
    for (const TestFile& f : files) {
      if (f.method == METHOD_REMOVE) {
        EXPECT_FALSE(fs::exists(run.target(f.path))) << f.path;
      } else {
        EXPECT_EQ(read_file(run.target(f.path)), f.contents) << f.path << (one_process ? " in turn" : "");
      }
    }
    return result.stderr_text;
  };
  std::string in_turn = install(true);
  EXPECT_NE(in_turn.find(kInstalling), std::string::npos) << in_turn;
  EXPECT_EQ(in_turn, install(false));
}

}  // namespace
}  // namespace telo
