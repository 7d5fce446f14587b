#!/usr/bin/env bash
# Readies libsodium's sources for the Windows build from Debian's libsodium
# source package (its patches applied), fetched by scripts/debian-source.sh;
# cmake/sodium.cmake compiles them into a static mingw-w64 library. The
# package carries no configure script (Debian runs autoreconf), so the one
# header configure would make, version.h, is made here.
#
#   scripts/sodium-source.sh [DIR]      (default build/third_party/sodium)
#
# Result: DIR/libsodium/{src/libsodium,VERSION}; its stamp is written last,
# and with the stamp in place the script returns at once. Delete DIR to fetch
# again. The version matches the installed libsodium-dev when the mirror
# still has it.
#
# Needs apt, dpkg-source (dpkg-dev) and flock. Progress on stderr, details in
# DIR/log/*.log, which a failure prints the end of.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build/third_party/sodium}"
[ -f "$dir/libsodium/.stamp" ] && exit 0

me=sodium-source
# shellcheck source=scripts/source-build.sh
. "$root/scripts/source-build.sh"

need flock:util-linux

lock_dir 15 "$dir/libsodium/.stamp"
out="$dir/libsodium"


start=$SECONDS
tree="$(DEBIAN_SOURCE_NAME=sodium-source "$root/scripts/debian-source.sh" "$dir" libsodium libsodium-dev | tail -n 1)"
want="$(cat "$dir/src/VERSION")"
lib="$tree/src/libsodium"
[ -f "$lib/include/sodium/version.h.in" ] || die "no src/libsodium in the libsodium source tree $tree"

# configure.ac's version and library numbers, as configure would put them.
ac="$tree/configure.ac"
version="$(sed -n 's/^AC_INIT(\[libsodium\],\[\([0-9.]*\)\].*/\1/p' "$ac")"
major="$(sed -n 's/^SODIUM_LIBRARY_VERSION_MAJOR=//p' "$ac")"
minor="$(sed -n 's/^SODIUM_LIBRARY_VERSION_MINOR=//p' "$ac")"
[ -n "$version" ] && [ -n "$major" ] && [ -n "$minor" ] || die "configure.ac names no version"
sed -e "s/@VERSION@/$version/" -e "s/@SODIUM_LIBRARY_VERSION_MAJOR@/$major/" \
    -e "s/@SODIUM_LIBRARY_VERSION_MINOR@/$minor/" -e "s/@SODIUM_LIBRARY_MINIMAL_DEF@//" \
    "$lib/include/sodium/version.h.in" >"$lib/include/sodium/version.h"

rm -rf "$out.new"
mkdir -p "$out.new/src"
cp -a "$lib" "$out.new/src/"
cp "$tree/LICENSE" "$out.new/"
printf 'libsodium %s from Debian libsodium %s\n' "$version" "$want" >"$out.new/VERSION"
rm -rf "$out"
mv "$out.new" "$out"
cp "$out/VERSION" "$out/.stamp"
rm -rf "$tree"
say "libsodium $version (Debian $want) ready in $out after $((SECONDS - start)) s"
