#!/usr/bin/env bash
# Builds the packer's Debian package from a clean clone: installs what the
# build needs, builds the packer and the x86-64 installer (build/) and the
# installers for i386, armhf and aarch64 from their CMake presets, then
# leaves dist/telo-pack_VERSION_amd64.deb.
#
#   bash scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELO_WERROR=ON
cmake --build build -j"$(nproc)" --target telo-pack telo-installer manpages
for arch in i386 armhf aarch64; do
  cmake --preset "$arch" >/dev/null
  cmake --build --preset "$arch"
done
bash scripts/make_deb.sh
