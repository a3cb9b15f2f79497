#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when missing.
set -euo pipefail

packages=(cmake g++ clang make libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
          acl desktop-file-utils shellcheck util-linux binutils zstd
          # Signing: libsodium's cryptography, and minisign for checking that
          # telo-pack's keys and signatures interoperate with it.
          libsodium-dev minisign pkg-config
          # Installers for the other architectures (CMakePresets.json): the cross
          # compilers (g++-multilib cannot stay beside the ARM ones), the 32-bit
          # C library that runs i386 programs here, and qemu-user for ARM ones.
          g++-i686-linux-gnu g++-arm-linux-gnueabihf g++-aarch64-linux-gnu
          libc6-i386 qemu-user-static
          # The packer's JSON output, its manual pages (made with scdoc, shown
          # with man), bash completion, and its Debian package with its checks.
          nlohmann-json3-dev scdoc man-db bash-completion jq dpkg-dev lintian)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}" >&2
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
