#!/usr/bin/env bash
# make package: the Debian package from a Linux build, the Windows zip and
# installer from the mingw-w64 cross build, all into build/packages/. Each
# build has a directory of its own, without the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
# Dates in the man pages and the changelog follow the last commit.
SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}"
export SOURCE_DATE_EPOCH
# Debian asks for files readable by all, whatever the caller's umask.
umask 022
rm -rf build/packages
# The Debian package's programs get Debian's hardening flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
debian_flags=(
  "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
  "-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)"
  "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)"
)
for preset in linux windows; do
  dir="build/package-$preset"
  flags=()
  [ "$preset" = linux ] && flags=("${debian_flags[@]}")
  cmake --preset "$preset" -B "$dir" -DZMK_TESTS=OFF -DZMK_PACKAGE=ON "${flags[@]}" >/dev/null
  cmake --build "$dir"
  (cd "$dir" && cpack)
done
ls -l build/packages/*.deb build/packages/*.zip build/packages/*.exe
