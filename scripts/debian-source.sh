#!/usr/bin/env bash
# Fetches one of Debian's source packages with `apt-get source`, for the
# Windows build's libraries (SQLite, libsodium), so both builds run Debian's
# code.
#
#   scripts/debian-source.sh DIR SOURCE [DEV-PACKAGE]
#
# Unpacks SOURCE into DIR/src and prints the tree's path on the last line of
# stdout. The version is DEV-PACKAGE's installed one when the mirror still has
# it, so the Linux and the Windows builds match; otherwise the mirror's
# newest that it can fetch, said so. Details go to DIR/log/*.log, which a
# failure prints the end of. The caller holds DIR's lock (debian_source_lock)
# when two configures may run at once.
#
# The machine's apt setup is left alone: a private source list names the
# mirrors and suites of /etc/apt/sources.list.d/debian.sources as deb-src,
# with private index and cache directories. apt checks the index against the
# archive's signature and every downloaded file against the index's checksums;
# dpkg-source checks the tarballs against the .dsc.
set -euo pipefail

dir="$1" source="$2" dev="${3:-}"
name="${DEBIAN_SOURCE_NAME:-debian-source}"

say() { printf '%s: %s\n' "$name" "$*" >&2; }
die() {
    printf '%s: %s\n' "$name" "$*" >&2
    exit 1
}

for tool in apt-get:apt dpkg-source:dpkg-dev; do
    command -v "${tool%%:*}" >/dev/null ||
        die "${tool%%:*} is missing (Debian package ${tool#*:}; scripts/install-deps.sh installs it)"
done

mkdir -p "$dir/log" "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial"
dir="$(cd "$dir" && pwd)"

# Runs a step with its output in log/NAME.log; on failure shows the log's end.
step() {
    local step_name="$1" limit="$2"
    shift 2
    if ! timeout "$limit" "$@" >"$dir/log/$step_name.log" 2>&1; then
        tail -n 30 "$dir/log/$step_name.log" >&2
        die "$step_name failed (log: $dir/log/$step_name.log)"
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

say "reading the source index ($(wc -l <"$dir/apt/sources.list") deb-src lines in $dir/apt/sources.list)"
step apt-update 600 apt-get "${apt_opts[@]}" --error-on=any update
grep '^[WE]:' "$dir/log/apt-update.log" >&2 || true

# Same version as the Linux build's library when the mirror still has it;
# then the mirror's versions, newest first: a mirror may list a version whose
# files it does not have yet.
have=""
[ -z "$dev" ] || have="$(dpkg-query -W -f='${source:Version}' "$dev" 2>/dev/null || true)"
versions="$(apt-cache "${apt_opts[@]}" showsrc "$source" | sed -n 's/^Version: //p' | sort -u -r -V)"
[ -n "$versions" ] || die "the mirror has no $source source package"
if [ -n "$have" ] && grep -xF "$have" <<<"$versions" >/dev/null; then
    versions="$(printf '%s\n' "$have" "$(grep -vxF "$have" <<<"$versions")")"
fi

rm -rf "$dir/src"
mkdir -p "$dir/src"
fetched=""
for version in $versions; do
    say "fetching Debian's $source=$version source package"
    if (cd "$dir/src" && timeout 900 apt-get "${apt_opts[@]}" source "$source=$version") \
        >"$dir/log/apt-source.log" 2>&1; then
        fetched=1
        break
    fi
    grep '^E:' "$dir/log/apt-source.log" | head -n 2 >&2 || true
    find "$dir/src" -mindepth 1 -delete
done
[ -n "$fetched" ] || die "no version of $source could be fetched (log: $dir/log/apt-source.log)"
want="$(sed -n 's/^Version: //p' "$dir/src/${source}"_*.dsc)"
[ -z "$dev" ] || [ "$want" = "$have" ] ||
    say "note: $source $want, while the installed $dev is ${have:-absent}"
tree="$(find "$dir/src" -mindepth 1 -maxdepth 1 -type d -name "${source}-*")"
[ -n "$tree" ] || die "no $source source tree in $dir/src"
printf '%s\n' "$want" >"$dir/src/VERSION"
printf '%s\n' "$tree"
