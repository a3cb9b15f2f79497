#!/usr/bin/env bash
# Makes dist/telo-pack_VERSION_amd64.deb from what the builds made: the
# packer, its manual pages, completion and examples from the plain build
# (build/), and each architecture's installer program from its preset tree
# (build-i386/, build-armhf/, build-aarch64/), each stripped with its own
# toolchain's strip. Dependencies come from dpkg-shlibdeps, the control file
# from dpkg-gencontrol, the version from the CMake project.
#
#   bash scripts/make_deb.sh     (after the four builds; scripts/package.sh does it all)
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
changelog_version=$(dpkg-parsechangelog -l debian/changelog -S Version)
if [ "$version" != "$changelog_version" ]; then
  echo "make_deb: the project is version $version but debian/changelog's latest entry is $changelog_version" >&2
  exit 1
fi
for tree in build build-i386 build-armhf build-aarch64; do
  if [ ! -x "$tree/telo-installer" ]; then
    echo "make_deb: $tree/telo-installer is not built (bash scripts/package.sh builds every tree)" >&2
    exit 1
  fi
done
[ -x build/telo-pack ] || { echo "make_deb: build/telo-pack is not built" >&2; exit 1; }
[ -f build/doc/telo-pack.1 ] || { echo "make_deb: no manual pages in build/doc (is scdoc installed?)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Staged where dpkg-shlibdeps expects a package's files.
root=$work/debian/telo-pack
# Files get their time from the last commit, so that the same tree packs the same.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
umask 022
for tree in build build-i386 build-armhf build-aarch64; do
  DESTDIR=$root cmake --install "$tree" --prefix /usr --strip >/dev/null
done

doc=$root/usr/share/doc/telo-pack
gzip -9n "$root"/usr/share/man/man1/*.1
install -m 0644 debian/copyright "$doc/copyright"
gzip -9n <debian/changelog >"$doc/changelog.gz"
install -D -m 0644 debian/telo-pack.lintian-overrides "$root/usr/share/lintian/overrides/telo-pack"

# What the packer needs at run time; the installer programs are data for it.
mkdir -p "$root/DEBIAN"
dpkg-shlibdeps -T"$work/substvars" "$root/usr/bin/telo-pack"
dpkg-gencontrol -ptelo-pack -P"$root" -T"$work/substvars" -v"$version" -f"$work/files"

(cd "$root" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum >DEBIAN/md5sums)
chmod 0644 "$root/DEBIAN/md5sums"
find "$root" -depth -print0 | xargs -0r touch -h -d "@$SOURCE_DATE_EPOCH"
mkdir -p dist
out=dist/telo-pack_${version}_amd64.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$out" >/dev/null
echo "$out"
