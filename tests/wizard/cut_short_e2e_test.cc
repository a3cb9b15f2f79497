// The installer started through the dynamic loader (so that nothing keeps
// its file from being changed) while its file is cut short in the middle of
// a large record: the message of a damaged payload, the files before it in
// place, nothing of that record left; never a signal. A preloaded library
// cuts the file when the installer reads the record's header.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "payload/format.h"
#include "tests/support/host_texts.h"
#include "tests/support/namespace_sandbox.h"
#include "tests/support/payload_builder.h"
#include "tests/support/run_program.h"

namespace telo {
namespace {

namespace fs = std::filesystem;
using testing::RunResult;

constexpr const char* kLoader = "/lib64/ld-linux-x86-64.so.2";
constexpr const char* kInside = "/home/t/telo";

TEST(CutShort, AnInstallerCutShortWhileItExtractsEndsWithTheDamagedPayloadMessage) {
#if !defined(TELO_CUT_ON_READ_PATH)
  GTEST_SKIP() << "a native build without sanitizers preloads the library that cuts the file";
#else
  if (std::string(TELO_ARCH) != "x86_64" || ::access(kLoader, X_OK) != 0) GTEST_SKIP() << "needs " << kLoader;
  testing::HostSandbox box;
  box.set_machine("i686");
  std::string large(3000000, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 2654435761u >> 24);
  const testing::BuiltPayload payload = testing::build_payload({{"first", "first file", METHOD_STORED},
                                                                {"second", large, METHOD_STORED},
                                                                {"third", "third file", METHOD_STORED}});
  const std::string installer = box.dir / "telo-setup.bin";
  const std::uint64_t payload_at = ((testing::installer_image_size() + 1023) / 1024 + 1) * 1024;
  testing::write_installer(installer, payload.bytes(), payload_at);
  // Cut a megabyte into the second file's stored bytes as its header is read.
  const std::uint64_t header_at = payload_at + kPayloadHeaderSize + payload.record_starts[1];
  const std::uint64_t cut = header_at + load_u32(payload.records.data() + payload.record_starts[1]) + 1000000;
  testing::SandboxRun run;
  run.args = {"--preload", TELO_CUT_ON_READ_PATH, installer, "-autonext", "-TELO", kInside};
  run.env = {"TELO_TEST_CUT_FILE=" + installer, "TELO_TEST_CUT_AT_READ=" + std::to_string(header_at),
             "TELO_TEST_CUT_TO=" + std::to_string(cut)};
  const RunResult result = testing::run_in_namespace(box, kLoader, run);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(result.stderr_text.ends_with("Corrupted file(s) (err=3).\n" + testing::kTerminated))
      << result.stderr_text;
  const std::string target = box.host_path(kInside);
  EXPECT_EQ(testing::read_file(target + "/first"), "first file");
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(target, error)) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"first"});
#endif
}

}  // namespace
}  // namespace telo
