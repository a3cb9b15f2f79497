#include "pack/stub_lookup.h"

#include <unistd.h>

#include "pack/program_arch.h"

namespace telo {

namespace {

constexpr const char* kInstallerName = "telo-installer";

}  // namespace

bool is_installer_arch(std::string_view arch) {
  for (std::string_view name : kInstallerArchs)
    if (name == arch) return true;
  return false;
}

std::vector<std::string> stub_candidates(std::string_view packer_dir, std::string_view arch,
                                         std::string_view own_arch) {
  const std::string dir(packer_dir);
  const std::string name(arch);
  std::vector<std::string> places;
  if (arch == own_arch) places.push_back(dir + "/" + kInstallerName);
  places.push_back(dir + "/../build-" + name + "/" + kInstallerName);
  // The plain build tree is the build host's, which is x86-64 here.
  if (arch == "x86_64") places.push_back(dir + "/../build/" + kInstallerName);
  places.push_back(dir + "/../lib/telo/" + name + "/" + kInstallerName);
  return places;
}

bool find_arch_stub(std::string_view packer_dir, std::string_view arch, std::string_view own_arch,
                    std::string* path, std::string* fault) {
  std::string looked;
  for (const std::string& place : stub_candidates(packer_dir, arch, own_arch)) {
    looked += "\n  " + place;
    if (::access(place.c_str(), R_OK) != 0) continue;
    const std::string found = program_arch_of(place);
    if (found == arch) {
      *path = place;
      return true;
    }
    looked += " (a program for " + found + ")";
  }
  *fault = "no installer for " + std::string(arch) + "; looked at:" + looked +
           "\nbuild one with: cmake --preset " + std::string(arch) + " && cmake --build --preset " +
           std::string(arch);
  return false;
}

}  // namespace telo
