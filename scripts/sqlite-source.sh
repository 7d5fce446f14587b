#!/usr/bin/env bash
# Makes SQLite's amalgamation (sqlite3.c, sqlite3.h) for the Windows build
# from Debian's sqlite3 source package, fetched with `apt-get source`.
#
#   scripts/sqlite-source.sh [DIR]      (default build/third_party/sqlite3)
#
# Result: DIR/amalgamation/{sqlite3.c,sqlite3.h,VERSION}; its stamp is written
# last, and with the stamp in place the script returns at once. Delete DIR to
# fetch again (a newer Debian revision, say).
#
# scripts/debian-source.sh fetches the package (how, and how it is checked,
# is said there). The version matches the installed libsqlite3-dev when the
# mirror still has it, so the Linux and the Windows builds run the same
# SQLite; otherwise the mirror's newest, said so.
#
# Needs apt, dpkg-source (dpkg-dev), tclsh (tcl), cc and make; works as root
# and as a normal user. Progress on stdout, details in DIR/log/*.log, which a
# failure prints the end of.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build/third_party/sqlite3}"
out="$dir/amalgamation"
stamp="$out/.stamp"
[ -f "$stamp" ] && exit 0

me=sqlite-source
# shellcheck source=scripts/source-build.sh
. "$root/scripts/source-build.sh"
say() { printf '%s: %s\n' "$me" "$*"; } # progress on stdout

need apt-get:apt dpkg-source:dpkg-dev tclsh:tcl cc:gcc make:make flock:util-linux

lock_dir 15 "$stamp"
out="$dir/amalgamation"
stamp="$out/.stamp"

start=$SECONDS
rm -rf "$dir/build"
mkdir -p "$dir/build"
tree="$(DEBIAN_SOURCE_NAME=sqlite-source "$root/scripts/debian-source.sh" "$dir" sqlite3 libsqlite3-dev | tail -n 1)"
want="$(cat "$dir/src/VERSION")"
[ -x "$tree/configure" ] || die "no sqlite3 source tree in $dir/src"

say "generating the amalgamation"
(cd "$dir/build" && step configure 600 "$tree/configure" --disable-tcl --disable-shared)
(cd "$dir/build" && step make 900 make -j"$(nproc)" sqlite3.c sqlite3.h)

rm -rf "$out.new"
mkdir -p "$out.new"
cp "$dir/build/sqlite3.c" "$dir/build/sqlite3.h" "$out.new/"
upstream="$(sed -n 's/^#define SQLITE_VERSION  *"\(.*\)"/\1/p' "$out.new/sqlite3.h")"
[ -n "$upstream" ] || die "the generated sqlite3.h names no version"
printf 'SQLite %s from Debian sqlite3 %s\n' "$upstream" "$want" >"$out.new/VERSION"
rm -rf "$out"
mv "$out.new" "$out"
cp "$out/VERSION" "$stamp"
# The unpacked tree and its build are 180 MB; the downloaded files stay.
rm -rf "$tree" "$dir/build"
say "SQLite $upstream (Debian $want) ready in $out after $((SECONDS - start)) s"
