// A payload that starts past 2 GiB in the installer's file: file offsets
// must be 64 bits wide on 32-bit builds too (off_t with _FILE_OFFSET_BITS=64;
// a 32-bit off_t turns the offset negative and the search ends there). The
// locator reads every KiB on its way, so the hole is kept just past the mark.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/namespace_sandbox.h"
#include "tests/support/payload_builder.h"

namespace telo {
namespace {

using testing::TestFile;

// The real installer, a hole up to `offset` (no disk blocks), then the payload.
void write_sparse_installer(const std::string& path, const std::vector<std::uint8_t>& payload,
                            std::uint64_t offset) {
  testing::write_file(path, testing::read_file(TELO_INSTALLER_PATH));
  int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ssize_t put = ::pwrite(fd, payload.data(), payload.size(), static_cast<off_t>(offset));
  ::close(fd);
  ASSERT_EQ(put, static_cast<ssize_t>(payload.size()));
  ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
}

TEST(LargeOffset, PayloadPastTwoGibibytesIsFoundAndExtracted) {
  constexpr std::uint64_t kOffset = (std::uint64_t{2} << 30) + 3 * 1024;
  const std::vector<TestFile> files = {
      {"app/big.txt", std::string(70000, 'x') + "end", METHOD_COMPRESSED, 1683000000},
      {"app/small", "small\n", METHOD_STORED, 1683000000, 0100755},
  };
  testing::HostSandbox box;
  box.set_machine("i686");
  const std::string installer = box.dir / "telo-setup.bin";
  write_sparse_installer(installer, testing::build_payload(files).bytes(), kOffset);

  testing::SandboxRun run;
  run.args = {"-TELO", "/usr/local/telo"};
  run.input = "n\ny\nc\n";  // Next, the default directory, Cancel after extraction
  testing::RunResult result = testing::run_in_namespace(box, installer, run);
  ASSERT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 1) << result.stderr_text;
  EXPECT_NE(result.stderr_text.find(".... Installing files ...."), std::string::npos) << result.stderr_text;
  for (const TestFile& file : files)
    EXPECT_TRUE(testing::read_file(box.host_path("/usr/local/telo/" + file.path)) == file.contents) << file.path;
}

}  // namespace
}  // namespace telo
