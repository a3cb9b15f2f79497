#pragma once

// Where `telo-pack build --arch ARCH` finds the installer program for ARCH.
// A packer in a build tree looks in the trees of the CMake presets beside
// it (build-ARCH/); an installed packer (PREFIX/bin) in PREFIX/lib/telo/ARCH/.

#include <string>
#include <string_view>
#include <vector>

namespace telo {

// True for the names kInstallerArchs lists.
bool is_installer_arch(std::string_view arch);

// The places looked at, in order, for a packer in `packer_dir` built for
// `own_arch`: its own installer beside it (own architecture only), the
// preset trees build-ARCH/ (and build/ for the build host's own), then the
// installed layout.
std::vector<std::string> stub_candidates(std::string_view packer_dir, std::string_view arch,
                                         std::string_view own_arch);

// The first candidate that exists and is a program for `arch`. False with
// `fault` saying where it looked and what it found.
bool find_arch_stub(std::string_view packer_dir, std::string_view arch, std::string_view own_arch,
                    std::string* path, std::string* fault);

}  // namespace telo
