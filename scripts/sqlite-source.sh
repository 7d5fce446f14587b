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
# The machine's apt setup is left alone: a private source list names the
# mirrors and suites of /etc/apt/sources.list.d/debian.sources as deb-src,
# with private index and cache directories. apt checks the index against the
# archive's signature and every downloaded file against the index's checksums;
# dpkg-source checks the tarballs against the .dsc. The version matches the
# installed libsqlite3-dev when the mirror still has it, so the Linux and the
# Windows builds run the same SQLite; otherwise the mirror's newest, said so.
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

say() { printf 'sqlite-source: %s\n' "$*"; }
die() {
    printf 'sqlite-source: %s\n' "$*" >&2
    exit 1
}

for tool in apt-get:apt dpkg-source:dpkg-dev tclsh:tcl cc:gcc make:make flock:util-linux; do
    command -v "${tool%%:*}" >/dev/null ||
        die "${tool%%:*} is missing (Debian package ${tool#*:}; scripts/install-deps.sh installs it)"
done

mkdir -p "$dir/log" "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial"
dir="$(cd "$dir" && pwd)"
out="$dir/amalgamation"
stamp="$out/.stamp"

# Two configures at once (two presets, two shells) make it once.
exec 9>"$dir/.lock"
flock -w 900 9 || die "$dir is locked by another run for 15 minutes; giving up"
[ -f "$stamp" ] && exit 0

# Runs a step with its output in log/NAME.log; on failure shows the log's end.
step() {
    local name="$1" limit="$2"
    shift 2
    if ! timeout "$limit" "$@" >"$dir/log/$name.log" 2>&1; then
        tail -n 30 "$dir/log/$name.log" >&2
        die "$name failed (log: $dir/log/$name.log)"
    fi
}

# One deb-src line per mirror and suite of the machine's deb822 sources (the
# old one-line list when a machine has only that).
source_lines() {
    local deb822=/etc/apt/sources.list.d/debian.sources
    if [ -f "$deb822" ]; then
        awk '
            function flush(   u, s, nu, ns, us, ss, opt) {
                if (f["Types"] ~ /(^| )deb( |$)/ && tolower(f["Enabled"]) != "no") {
                    opt = f["Signed-By"] ~ /^\// ? "[signed-by=" f["Signed-By"] "] " : ""
                    nu = split(f["URIs"], us, " ")
                    ns = split(f["Suites"], ss, " ")
                    for (u = 1; u <= nu; u++)
                        for (s = 1; s <= ns; s++)
                            print "deb-src " opt us[u] " " ss[s] " " f["Components"]
                }
                split("", f)
            }
            /^#/ || /^[ \t]+[^ \t]/ { next }
            /^[ \t]*$/ { flush(); next }
            {
                i = index($0, ":")
                v = substr($0, i + 1)
                gsub(/^[ \t]+|[ \t]+$/, "", v)
                f[substr($0, 1, i - 1)] = v
            }
            END { flush() }' "$deb822"
    elif [ -f /etc/apt/sources.list ]; then
        sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list
    fi
}

source_lines >"$dir/apt/sources.list"
[ -s "$dir/apt/sources.list" ] || die "no Debian mirror found in /etc/apt/sources.list.d/debian.sources"

apt_opts=(-q -o "Dir::Etc::SourceList=$dir/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache=$dir/apt/cache")
# As root apt downloads as the user _apt, who cannot write to a build tree
# that root owns; apt would fall back to root with a warning.
if [ "$(id -u)" -eq 0 ]; then
    apt_opts+=(-o APT::Sandbox::User=root)
fi

start=$SECONDS
say "reading the source index ($(wc -l <"$dir/apt/sources.list") deb-src lines in $dir/apt/sources.list)"
step apt-update 600 apt-get "${apt_opts[@]}" --error-on=any update
grep '^[WE]:' "$dir/log/apt-update.log" >&2 || true

# Same SQLite as the Linux build when the mirror still has it; else apt's newest.
have="$(dpkg-query -W -f='${source:Version}' libsqlite3-dev 2>/dev/null || true)"
package=sqlite3
if [ -n "$have" ] && apt-cache "${apt_opts[@]}" showsrc sqlite3 | grep -xF "Version: $have" >/dev/null; then
    package="sqlite3=$have"
fi

say "fetching Debian's $package source package"
rm -rf "$dir/src" "$dir/build"
mkdir -p "$dir/src" "$dir/build"
(cd "$dir/src" && step apt-source 900 apt-get "${apt_opts[@]}" source "$package")
want="$(sed -n 's/^Version: //p' "$dir"/src/sqlite3_*.dsc)"
[ "$want" = "$have" ] || say "note: sqlite3 $want, while the installed libsqlite3-dev is ${have:-absent}"
tree="$(find "$dir/src" -mindepth 1 -maxdepth 1 -type d -name 'sqlite3-*')"
if [ -z "$tree" ] || [ ! -x "$tree/configure" ]; then
    die "no sqlite3 source tree in $dir/src"
fi

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
