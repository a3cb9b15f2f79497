#include "pack/program_arch.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "pack/stub_lookup.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

using testing::ScopedTempDir;

// The first bytes of an ELF program: identification, e_machine, e_flags
// (at the 32-bit offset; 64-bit programs are not asked for theirs).
std::string elf_head(std::uint8_t elf_class, std::uint8_t data, unsigned machine, std::uint32_t flags = 0) {
  std::string head(kElfIdentBytes, '\0');
  head[0] = 0x7F, head[1] = 'E', head[2] = 'L', head[3] = 'F';
  head[4] = static_cast<char>(elf_class);
  head[5] = static_cast<char>(data);
  head[18] = static_cast<char>(machine & 0xFF), head[19] = static_cast<char>(machine >> 8);
  for (int i = 0; i < 4; ++i) head[36 + i] = static_cast<char>(flags >> (8 * i) & 0xFF);
  return head;
}

std::string arch_of(const std::string& bytes) {
  return elf_arch_name({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

TEST(ProgramArch, NamesEachInstallerArchitectureFromTheElfHeader) {
  struct Case {
    const char* what;
    std::string head;
    const char* expected;
  };
  const Case kCases[] = {
      {"x86-64", elf_head(2, 1, 62), "x86_64"},
      {"i386", elf_head(1, 1, 3), "i386"},
      {"ARM hard-float", elf_head(1, 1, 40, 0x05000400), "armhf"},
      {"ARM soft-float", elf_head(1, 1, 40, 0x05000200), "armel"},
      {"aarch64", elf_head(2, 1, 183), "aarch64"},
      {"x86-64 machine in a 32-bit file", elf_head(1, 1, 62), "ELF machine 62"},
      {"big-endian", elf_head(2, 2, 183), "not an ELF program"},
      {"RISC-V", elf_head(2, 1, 243), "ELF machine 243"},
      {"a script", "#!/bin/sh\nexit 0\n" + std::string(40, ' '), "not an ELF program"},
      {"cut short", elf_head(2, 1, 62).substr(0, 20), "not an ELF program"},
  };
  for (const Case& c : kCases) EXPECT_EQ(arch_of(c.head), c.expected) << c.what;
}

TEST(ProgramArch, TheTestsOwnInstallerIsOfTheBuildsArchitecture) {
  EXPECT_EQ(program_arch_of(TELO_INSTALLER_PATH), TELO_ARCH);
  EXPECT_EQ(program_arch_of("/nonexistent/telo-installer"), "unreadable");
}

// A packer's surroundings: PREFIX/bin (the packer's folder), the preset
// trees beside it and the installed layout.
struct Layout {
  ScopedTempDir temp;
  std::string packer_dir = temp / "bin";
  void put(const std::string& relative, const std::string& head) {
    std::filesystem::path path = std::filesystem::path(temp.path) / relative;
    std::filesystem::create_directories(path.parent_path());
    testing::write_file(path.string(), head);
  }
  std::string path(const std::string& relative) const { return packer_dir + "/../" + relative; }
};

TEST(StubLookup, TakesTheFirstPlaceHoldingAProgramForTheArchitecture) {
  Layout layout;
  layout.put("bin/telo-installer", elf_head(2, 1, 62));
  layout.put("build-aarch64/telo-installer", elf_head(1, 1, 3));  // a stray i386 build
  layout.put("lib/telo/aarch64/telo-installer", elf_head(2, 1, 183));
  layout.put("build-i386/telo-installer", elf_head(1, 1, 3));
  layout.put("lib/telo/i386/telo-installer", elf_head(1, 1, 3));

  struct Case {
    const char* arch;
    std::string expected;
  };
  const Case kCases[] = {
      {"x86_64", layout.packer_dir + "/telo-installer"},
      {"aarch64", layout.path("lib/telo/aarch64/telo-installer")},
      {"i386", layout.path("build-i386/telo-installer")},
  };
  for (const Case& c : kCases) {
    std::string found, fault;
    EXPECT_TRUE(find_arch_stub(layout.packer_dir, c.arch, "x86_64", &found, &fault)) << c.arch << ": " << fault;
    EXPECT_EQ(found, c.expected) << c.arch;
  }
}

TEST(StubLookup, AMissingArchitectureSaysWhereItLookedAndHowToBuildIt) {
  Layout layout;
  layout.put("bin/telo-installer", elf_head(2, 1, 62));
  layout.put("build-armhf/telo-installer", elf_head(2, 1, 183));
  std::string found, fault;
  // The packer's own installer beside it is for its own architecture only.
  EXPECT_FALSE(find_arch_stub(layout.packer_dir, "armhf", "x86_64", &found, &fault));
  EXPECT_EQ(found, "");
  EXPECT_NE(fault.find(layout.path("build-armhf/telo-installer") + " (a program for aarch64)"), std::string::npos)
      << fault;
  EXPECT_NE(fault.find(layout.path("lib/telo/armhf/telo-installer")), std::string::npos) << fault;
  EXPECT_EQ(fault.find(layout.packer_dir + "/telo-installer"), std::string::npos) << fault;
  EXPECT_NE(fault.find("cmake --preset armhf && cmake --build --preset armhf"), std::string::npos) << fault;
}

}  // namespace
}  // namespace telo
