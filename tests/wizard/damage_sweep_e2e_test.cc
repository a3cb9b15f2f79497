// Every byte of a small installer's payload damaged in turn, and the payload
// cut at every record boundary and inside its header: each run must end with
// one of the installer's messages and status 1 (no crash, no hang), write
// nothing beside the installation directory, and leave an earlier good
// installation in that directory byte for byte as it was.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pack/payload_writer.h"
#include "tests/support/host_texts.h"
#include "tests/support/payload_builder.h"
#include "tests/support/run_program.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

namespace fs = std::filesystem;
using testing::kTerminated;
using testing::RunResult;
using testing::TestFile;

constexpr std::uint32_t kTime = 1683063373;

// Both slots, every method, a file in several decode calls.
std::vector<TestFile> sweep_files() {
  std::string text;
  for (int i = 0; text.size() < 9000; ++i) text += std::string("row ") + std::to_string(i * 37 % 101) + "\n";
  return {
      {"old/obsolete.txt", "", METHOD_REMOVE},
      {"telolnx", "#!/bin/sh\nexit 0\n", METHOD_STORED, kTime, 0100755},
      {"program/notes.txt", text, METHOD_COMPRESSED, kTime},
      {"program/empty", "", METHOD_STORED, kTime},
      {"jre/bin/java", "#!/bin/sh\n", METHOD_STORED, kTime, 0100755, 1},
      {"jre/lib/rt.txt", std::string(300, 'r') + "tail", METHOD_COMPRESSED, kTime, 0100644, 1},
  };
}

// The message a damaged payload's run ended with, or "" when it ended
// otherwise.
std::string specified_ending(const std::string& text) {
  static const std::vector<std::string> kMessages = [] {
    std::vector<std::string> messages = {"Can't find attachments (3).", "Attachments corrupted (3).",
                                         "Decompression error (err=1)."};
    for (int n = 1; n <= 7; ++n) messages.push_back(std::string("Corrupted file(s) (err=") + std::to_string(n) + ").");
    return messages;
  }();
  for (const std::string& message : kMessages)
    if (text.ends_with(message + "\n" + kTerminated)) return message;
  return "";
}

// Every entry below `root`: a file with its mode, time and bytes, a
// directory with its mode (its time moves whenever a name in it changes).
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat info {};
    ::lstat(entry.path().c_str(), &info);
    std::string state = std::to_string(info.st_mode);
    if (entry.is_regular_file())
      state += std::string(" ") + std::to_string(info.st_mtime) + " " + testing::read_file(entry.path());
    entries[fs::relative(entry.path(), root)] = state;
  }
  return entries;
}

// One worker: its own copy of the installer and its own installation. The
// copy is damaged in place and never executed: the installer reads its
// payload from the file its argv[0] names, so the pristine program runs with
// argv[0] naming the copy (a program file being written cannot be started).
struct Worker {
  testing::ScopedTempDir dir;
  std::string installer = dir / "setup.bin";
  std::string target = dir / "telo";
  std::map<std::string, std::string> good;
  std::vector<std::string> env;  // extra NAME=VALUE entries for every run

  // Next, the default directory, No to choosing another one outside /usr
  // and /home, Next past the warning about an existing directory (when there
  // is one), and Cancel at the first question after extraction, so nothing
  // beyond the installation directory is touched.
  RunResult install(bool over_earlier = true) const {
    testing::RunOptions options;
    options.stdin_text = over_earlier ? "n\ny\nn\nn\nc\n" : "n\ny\nn\nc\n";
    options.timeout_seconds = 30;
    options.env = env;
    return testing::run_program_as(TELO_INSTALLER_PATH, {installer, "-TELO", target}, options);
  }
};

struct Damage {
  std::uint64_t offset = 0;  // a byte to flip, or where to cut
  bool cut = false;
  std::string name;
};

struct Outcome {
  std::string name;
  std::string problem;  // empty when the run behaved
  std::string ending;
};

Outcome run_damaged(Worker& worker, const std::vector<std::uint8_t>& file, const Damage& damage) {
  const int fd = ::open(worker.installer.c_str(), O_WRONLY | O_CLOEXEC);
  if (damage.cut) {
    ::ftruncate(fd, static_cast<off_t>(damage.offset));
  } else {
    const std::uint8_t flipped = file[damage.offset] ^ 0xFF;
    ::pwrite(fd, &flipped, 1, static_cast<off_t>(damage.offset));
  }
  const RunResult result = worker.install();
  // Put the installer back as it was.
  if (damage.cut) {
    ::pwrite(fd, file.data() + damage.offset, file.size() - damage.offset, static_cast<off_t>(damage.offset));
  } else {
    ::pwrite(fd, file.data() + damage.offset, 1, static_cast<off_t>(damage.offset));
  }
  ::close(fd);

  Outcome outcome{damage.name, "", specified_ending(result.stderr_text)};
  if (result.timed_out) outcome.problem = "hung";
  else if (result.signal != 0) outcome.problem = std::string("killed by signal ") + std::to_string(result.signal);
  else if (result.exit_status != 1)
    outcome.problem = std::string("exit status ") + std::to_string(result.exit_status) + ":\n" + result.stderr_text;
  else if (outcome.ending.empty()) outcome.problem = "ended with: " + result.stderr_text;
  else if (snapshot(worker.target) != worker.good) outcome.problem = "the earlier installation changed";
  else if (std::distance(fs::directory_iterator(worker.dir.path), fs::directory_iterator()) != 2)
    outcome.problem = "something was written beside the installation directory";
  return outcome;
}

// The whole sweep, with `env` given to every run.
void sweep(const std::vector<std::string>& env) {
  testing::PayloadTexts texts;
  texts.java_runtime = "jre1.6.0 04";
  const testing::BuiltPayload payload = testing::build_payload(sweep_files(), texts);
  const std::uint64_t payload_at = payload_offset_after(testing::installer_image_size());
  const unsigned worker_count = std::max(2u, std::thread::hardware_concurrency());
  std::vector<std::unique_ptr<Worker>> workers;
  for (unsigned w = 0; w < worker_count; ++w) {
    workers.push_back(std::make_unique<Worker>());
    workers[w]->env = env;
    testing::write_installer(workers[w]->installer, payload.bytes());
    const RunResult first = workers[w]->install(false);
    workers[w]->good = snapshot(workers[w]->target);
    ASSERT_EQ(workers[w]->good.count("jre/lib/rt.txt"), 1u) << first.stderr_text;
  }
  const std::string image = testing::read_file(workers[0]->installer);
  const std::vector<std::uint8_t> file(image.begin(), image.end());

  std::vector<Damage> damages;
  for (std::uint64_t at = payload_at; at < file.size(); ++at)
    damages.push_back({at, false, std::string("byte ") + std::to_string(at - payload_at)});
  for (std::size_t i = 1; i < payload.record_starts.size(); ++i) {
    const std::uint64_t at = payload_at + kPayloadHeaderSize + payload.record_starts[i];
    damages.push_back({at, true, std::string("cut before record ") + std::to_string(i + 1)});
  }
  for (std::uint64_t into : {0u, 1u, 251u, 252u, 600u, 1027u})
    damages.push_back({payload_at + into, true, std::string("cut ") + std::to_string(into) + " bytes into the header"});

  std::vector<Outcome> outcomes(damages.size());
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (unsigned w = 0; w < worker_count; ++w) {
    threads.emplace_back([&, w] {
      for (std::size_t d = next++; d < damages.size(); d = next++) outcomes[d] = run_damaged(*workers[w], file, damages[d]);
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::map<std::string, int> counts;
  for (const Outcome& outcome : outcomes) {
    EXPECT_EQ(outcome.problem, "") << outcome.name;
    ++counts[outcome.ending];
  }
  std::cout << damages.size() << " damaged runs:\n";
  for (const auto& [ending, count] : counts) std::cout << "  " << count << "  " << ending << "\n";
}

TEST(DamageSweep, EveryDamagedByteAndEveryCutEndsWithItsMessageAndLosesNothing) { sweep({}); }

// Where files are written under a temporary name from the start, no damage
// leaves one behind (the snapshot holds hidden names too).
TEST(DamageSweep, WithoutNamelessFilesNoDamageLeavesATemporary) { sweep({"TELO_WITHOUT_TMPFILE=1"}); }

}  // namespace
}  // namespace telo
