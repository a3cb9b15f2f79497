#pragma once

// Which processor an installer's program was built for, read from the ELF
// header in front of its payload. The payload itself is the same for every
// architecture; only this program differs.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace telo {

// The architectures installers are built for, as `telo-pack build --arch` names them.
inline constexpr std::string_view kInstallerArchs[] = {"x86_64", "i386", "armhf", "aarch64"};

// Bytes of an image needed to tell its architecture.
inline constexpr std::size_t kElfIdentBytes = 52;

// "x86_64", "i386", "armhf", "aarch64", "armel" (ARM without hard-float
// calls), "ELF machine N" for other ELF programs, or "not an ELF program".
std::string elf_arch_name(std::span<const std::uint8_t> image_start);

// The same for the program at the start of the file open at `fd`
// ("unreadable" when its first bytes cannot be read).
std::string program_arch_at(int fd);

// The same for the file at `path`.
std::string program_arch_of(const std::string& path);

}  // namespace telo
