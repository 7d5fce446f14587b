# Sourced by the scripts that ready the Windows build's libraries from
# Debian's source packages: their messages, the tools they need, the lock on
# their folder and their logged steps. The sourcing script sets `me` (its
# name in messages) and `dir` (its folder).
# shellcheck shell=bash disable=SC2154

say() { printf '%s: %s\n' "$me" "$*" >&2; }
die() {
    printf '%s: %s\n' "$me" "$*" >&2
    exit 1
}

# need TOOL:PACKAGE ...: each tool on the PATH, or which package brings it.
need() {
    local tool
    for tool in "$@"; do
        command -v "${tool%%:*}" >/dev/null ||
            die "${tool%%:*} is missing (Debian package ${tool#*:}; scripts/install-deps.sh installs it)"
    done
}

# lock_dir MINUTES STAMP: makes $dir (a whole path from then on) and its
# log folder and holds the folder's lock, so that two configures at once
# (two presets, two shells) make it once; ends the script when STAMP is
# there by then.
lock_dir() {
    mkdir -p "$dir/log"
    dir="$(cd "$dir" && pwd)"
    exec 9>"$dir/.lock"
    flock -w $(($1 * 60)) 9 || die "$dir is locked by another run for $1 minutes; giving up"
    if [ -f "$2" ]; then exit 0; fi
}

# step NAME SECONDS COMMAND...: runs it with its output in log/NAME.log; on
# failure shows the log's end.
step() {
    local name="$1" limit="$2"
    shift 2
    if ! timeout "$limit" "$@" >"$dir/log/$name.log" 2>&1; then
        tail -n 30 "$dir/log/$name.log" >&2
        die "$name failed (log: $dir/log/$name.log)"
    fi
}
