#!/usr/bin/env bash
# Builds OpenSSL's two static libraries (libssl.a, libcrypto.a) for the
# Windows build from Debian's openssl source package (its patches applied),
# fetched by scripts/debian-source.sh; libpq's TLS uses them
# (scripts/libpq-source.sh, cmake/libpq.cmake).
#
#   scripts/openssl-source.sh [DIR]     (default build/third_party/openssl)
#
# Result: DIR/openssl/{include,lib,LICENSE.txt,VERSION}; its stamp is written
# last, and with the stamp in place the script returns at once. Delete DIR to
# build again. The version matches the installed libssl3 when the mirror
# still has it.
#
# Only what a TLS client needs is built (`make build_libs`): no programs,
# tests, engines, loadable modules or legacy ciphers.
#
# Needs apt, dpkg-source (dpkg-dev), perl, make, flock and mingw-w64.
# Progress on stderr, details in DIR/log/*.log, which a failure prints the
# end of.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build/third_party/openssl}"
[ -f "$dir/openssl/.stamp" ] && exit 0

me=openssl-source
# shellcheck source=scripts/source-build.sh
. "$root/scripts/source-build.sh"

need flock:util-linux perl:perl make:make x86_64-w64-mingw32-gcc:gcc-mingw-w64-x86-64

lock_dir 40 "$dir/openssl/.stamp"
out="$dir/openssl"


start=$SECONDS
tree="$(DEBIAN_SOURCE_NAME=openssl-source "$root/scripts/debian-source.sh" "$dir" openssl libssl3 | tail -n 1)"
want="$(cat "$dir/src/VERSION")"
[ -x "$tree/Configure" ] || die "no openssl source tree in $dir/src"

say "building libssl and libcrypto for mingw-w64 (a few minutes)"
(cd "$tree" && step configure 600 ./Configure mingw64 no-shared no-tests no-dso \
    no-engine no-legacy no-module --cross-compile-prefix=x86_64-w64-mingw32-)
# libpq has OpenSSL read its configuration file: from a folder only an
# administrator may write to, not /usr/local/ssl, which Windows reads as
# C:\usr\local\ssl, a folder any user may make. (Configure would put a
# Windows path under --prefix; nothing is loaded from the other folders.)
(cd "$tree" && step make 3600 make -j"$(nproc)" build_libs \
    OPENSSLDIR="C:/Program Files/Common Files/SSL")

rm -rf "$out.new"
mkdir -p "$out.new/include" "$out.new/lib"
cp -a "$tree/include/openssl" "$out.new/include/"
cp "$tree/libssl.a" "$tree/libcrypto.a" "$out.new/lib/"
cp "$tree/LICENSE.txt" "$out.new/"
upstream="$(sed -n 's/^# *define OPENSSL_FULL_VERSION_STR "\(.*\)"/\1/p' "$out.new/include/openssl/opensslv.h")"
[ -n "$upstream" ] || die "the built opensslv.h names no version"
printf 'OpenSSL %s from Debian openssl %s\n' "$upstream" "$want" >"$out.new/VERSION"
rm -rf "$out"
mv "$out.new" "$out"
cp "$out/VERSION" "$out/.stamp"
# The unpacked tree and its objects are 300 MB; the downloaded files stay.
rm -rf "$tree"
say "OpenSSL $upstream (Debian $want) ready in $out after $((SECONDS - start)) s"
