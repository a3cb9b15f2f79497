#include "pack/program_arch.h"

#include <fcntl.h>
#include <unistd.h>

namespace telo {

namespace {

// ELF header fields this needs (the same offsets in 32- and 64-bit files
// up to e_machine; e_flags sits where each class puts it).
constexpr std::size_t kClassAt = 4;
constexpr std::size_t kDataAt = 5;
constexpr std::size_t kMachineAt = 18;
constexpr std::size_t kFlags32At = 36;
constexpr std::uint8_t kClass32 = 1;
constexpr std::uint8_t kClass64 = 2;
constexpr std::uint8_t kLittleEndian = 1;

constexpr unsigned kMachine386 = 3;
constexpr unsigned kMachineArm = 40;
constexpr unsigned kMachineX86_64 = 62;
constexpr unsigned kMachineAarch64 = 183;
constexpr std::uint32_t kArmHardFloat = 0x400;  // EF_ARM_ABI_FLOAT_HARD

std::uint32_t load_le(std::span<const std::uint8_t> bytes, std::size_t at, int width) {
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value << 8 | bytes[at + static_cast<std::size_t>(i)];
  return value;
}

}  // namespace

std::string elf_arch_name(std::span<const std::uint8_t> image) {
  if (image.size() < kElfIdentBytes || image[0] != 0x7F || image[1] != 'E' || image[2] != 'L' ||
      image[3] != 'F' || image[kDataAt] != kLittleEndian)
    return "not an ELF program";
  const std::uint8_t elf_class = image[kClassAt];
  const unsigned machine = load_le(image, kMachineAt, 2);
  if (elf_class == kClass64 && machine == kMachineX86_64) return "x86_64";
  if (elf_class == kClass64 && machine == kMachineAarch64) return "aarch64";
  if (elf_class == kClass32 && machine == kMachine386) return "i386";
  if (elf_class == kClass32 && machine == kMachineArm)
    return load_le(image, kFlags32At, 4) & kArmHardFloat ? "armhf" : "armel";
  return "ELF machine " + std::to_string(machine);
}

std::string program_arch_at(int fd) {
  std::uint8_t head[kElfIdentBytes];
  std::size_t got = 0;
  while (got < sizeof head) {
    ssize_t n = ::pread(fd, head + got, sizeof head - got, static_cast<off_t>(got));
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got == 0) return "unreadable";
  return elf_arch_name({head, got});
}

std::string program_arch_of(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "unreadable";
  std::string arch = program_arch_at(fd);
  ::close(fd);
  return arch;
}

}  // namespace telo
