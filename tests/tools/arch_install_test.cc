// Installers for every architecture, packed with telo-pack build --arch
// from the sample application: the payload is the same bytes for all, only
// the program in front differs, and each program installs the application
// exactly as the x86-64 one does (ARM ones under qemu-user, i386 natively).
//
// The other architectures' installers come from the CMake presets' trees
// beside this build (build-i386/, ...), or from the packaged packer's
// /usr/lib/telo/NAME/ when TELO_PACKAGED_ROOT names a package unpacked with
// dpkg -x. Where one is missing the test skips
// it, unless TELO_REQUIRE_ARCHS is set (the test command sets it after
// building them all).

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "pack/program_arch.h"
#include "tests/support/namespace_sandbox.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/tools/pack_fixture.h"
#include "tests/tools/tree_fixture.h"

namespace telo::testing {
namespace {

constexpr const char* kInstallDir = "/usr/local/telo";

struct Packed {
  std::string arch;
  std::string installer;  // empty when this architecture's program is not built
  std::string program;    // the program telo-pack put in front
};

// The program telo-pack must have put in front: the build's, or, when the
// tests run a packaged telo-pack, the one its package holds.
std::string program_path(const std::string& arch) {
  if (!packaged_root().empty()) return packaged_root() + "/usr/lib/telo/" + arch + "/telo-installer";
  if (arch == "x86_64") return TELO_INSTALLER_PATH;
  return std::string(TELO_BINARY_DIR) + "/../build-" + arch + "/telo-installer";
}

// The sample application as scripts/demo.sh packs it.
Packed pack_sample(const ScopedTempDir& temp, const std::string& arch) {
  const std::string source = TELO_SOURCE_DIR;
  Packed packed{arch, temp / ("setup-" + arch + ".bin"), program_path(arch)};
  RunResult result = run_pack({"build", "-o", packed.installer, "--arch", arch, source + "/examples/sample-app",
                               "--jre", source + "/examples/sample-jre", "--java-runtime", "jre1.8.0 sample",
                               "--description", "for Linux 32 bit (sample application)", "--build-time",
                               "1683063373"});
  if (result.exit_status != 0 && result.stderr_text.find("no installer for " + arch) != std::string::npos &&
      std::getenv("TELO_REQUIRE_ARCHS") == nullptr) {
    packed.installer.clear();
    return packed;
  }
  EXPECT_EQ(result.exit_status, 0) << arch << ": " << result.stderr_text;
  return packed;
}

std::vector<Packed> pack_every_arch(const ScopedTempDir& temp) {
  std::vector<Packed> all;
  for (std::string_view arch : kInstallerArchs) all.push_back(pack_sample(temp, std::string(arch)));
  return all;
}

std::uint64_t payload_offset_of(const std::string& program) { return (program.size() + 1023) / 1024 * 1024; }

TEST(ArchInstallers, OnlyTheProgramInFrontOfTheSamePayloadDiffers) {
  ScopedTempDir temp;
  const std::vector<Packed> all = pack_every_arch(temp);
  ASSERT_FALSE(all[0].installer.empty()) << "the build host's own installer must always be there";
  const std::string reference = read_file(all[0].installer);
  const std::string reference_payload = reference.substr(payload_offset_of(read_file(all[0].program)));
  int compared = 0;
  for (const Packed& p : all) {
    SCOPED_TRACE(p.arch);
    if (p.installer.empty()) continue;
    const std::string image = read_file(p.installer);
    const std::string program = read_file(p.program);
    const std::uint64_t at = payload_offset_of(program);
    EXPECT_EQ(program_arch_of(p.program), p.arch);
    ASSERT_GT(image.size(), at);
    EXPECT_TRUE(image.compare(0, program.size(), program) == 0) << "the program is not the build's installer";
    EXPECT_EQ(image.substr(program.size(), at - program.size()), std::string(at - program.size(), '\0'));
    EXPECT_TRUE(image.substr(at) == reference_payload) << "the payload differs from the x86_64 installer's";

    RunResult list = run_pack({"list", p.installer});
    EXPECT_NE(list.stdout_text.find("program:         " + p.arch + "\n"), std::string::npos) << list.stdout_text;
    EXPECT_NE(list.stdout_text.find("payload offset:  " + std::to_string(at) + "\n"), std::string::npos);
    RunResult verify = run_pack({"verify", p.installer});
    EXPECT_EQ(verify.exit_status, 0) << verify.stderr_text;
    EXPECT_TRUE(verify.stdout_text.ends_with("payload intact; program for " + p.arch + "\n")) << verify.stdout_text;
    ++compared;
  }
  if (compared == 1) GTEST_SKIP() << "no other architecture's installer is built (cmake --preset NAME)";
}

// An installed packer (PREFIX/bin/telo-pack) keeps the installers under
// PREFIX/lib/telo/ARCH/, for --arch and, for its own, as the default.
TEST(ArchInstallers, AnInstalledPackerTakesThemFromItsLibFolder) {
  ScopedTempDir temp;
  const std::string prefix = temp / "prefix";
  const std::string installer = read_file(TELO_INSTALLER_PATH);
  std::filesystem::create_directories(prefix + "/bin");
  std::filesystem::create_directories(prefix + "/lib/telo/" TELO_ARCH);
  std::filesystem::copy_file(TELO_PACK_PATH, prefix + "/bin/telo-pack");
  write_file(prefix + "/lib/telo/" TELO_ARCH "/telo-installer", installer);
  std::filesystem::create_directories(temp / "app");
  write_file(temp / "app/readme.txt", "hello\n");
  const std::string packer = prefix + "/bin/telo-pack";

  struct Case {
    const char* what;
    std::vector<std::string> extra;
  };
  const Case kCases[] = {{"default", {}}, {"--arch", {"--arch", TELO_ARCH}}};
  for (const Case& c : kCases) {
    std::vector<std::string> argv = {packer, "build", "-o", temp / "setup.bin", temp / "app"};
    argv.insert(argv.end(), c.extra.begin(), c.extra.end());
    RunResult result = run_program(argv);
    ASSERT_EQ(result.exit_status, 0) << c.what << ": " << result.stderr_text;
    EXPECT_TRUE(read_file(temp / "setup.bin").compare(0, installer.size(), installer) == 0) << c.what;
  }
  RunResult missing = run_program({packer, "build", "-o", temp / "other.bin", "--arch",
                                   std::string(TELO_ARCH) == "armhf" ? "aarch64" : "armhf", temp / "app"});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_NE(missing.stderr_text.find("/lib/telo/"), std::string::npos) << missing.stderr_text;
}

// What one unattended installation shows and leaves on the sandbox's host.
struct Outcome {
  int exit_status = -1;
  std::string transcript;  // standard error, then standard output (the application's)
  std::vector<TreeFile> host;
  std::string calls;
};

Outcome install_unattended(const std::string& packed) {
  HostSandbox box;
  // The same host for every program: the x86 branch of the Java step.
  box.set_machine("i686");
  const std::string installer = box.dir / "telo-setup.bin";
  write_file(installer, read_file(packed));
  EXPECT_EQ(::chmod(installer.c_str(), 0755), 0);
  SandboxRun run;
  run.args = {"-autonext", "-TELO", kInstallDir};
  RunResult result = run_in_namespace(box, installer, run);
  EXPECT_FALSE(result.timed_out);
  Outcome outcome;
  outcome.exit_status = result.exit_status;
  outcome.transcript = result.stderr_text + "\n--- standard output ---\n" + result.stdout_text;
  // Everything the run wrote under the sandbox's system folders. Files
  // made now (stub, desktop entries) have today's time; the installed
  // ones keep the payload's.
  outcome.host = read_tree(box.dir / "sys");
  for (TreeFile& file : outcome.host)
    if (!file.path.starts_with("usr-local/telo/")) file.mtime = 0;
  outcome.calls = box.calls();
  return outcome;
}

TEST(ArchInstallers, EachInstallsTheSampleApplicationLikeTheX86_64One) {
  ScopedTempDir temp;
  const std::vector<Packed> all = pack_every_arch(temp);
  ASSERT_FALSE(all[0].installer.empty());
  const Outcome reference = install_unattended(all[0].installer);
  ASSERT_EQ(reference.exit_status, 0) << reference.transcript;
  ASSERT_NE(reference.transcript.find("TELO started (sample application) in /usr/local/telo"), std::string::npos)
      << reference.transcript;
  int compared = 0;
  for (std::size_t i = 1; i < all.size(); ++i) {
    const Packed& p = all[i];
    SCOPED_TRACE(p.arch);
    if (p.installer.empty()) continue;
    const Outcome outcome = install_unattended(p.installer);
    EXPECT_EQ(outcome.exit_status, reference.exit_status);
    EXPECT_EQ(outcome.transcript, reference.transcript);
    EXPECT_EQ(compare_trees(reference.host, outcome.host), "");
    EXPECT_EQ(outcome.calls, reference.calls);
    ++compared;
  }
  if (compared == 0) GTEST_SKIP() << "no other architecture's installer is built (cmake --preset NAME)";
}

}  // namespace
}  // namespace telo::testing
