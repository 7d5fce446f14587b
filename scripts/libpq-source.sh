#!/usr/bin/env bash
# Builds libpq, PostgreSQL's client library, as static libraries for the
# Windows build from Debian's postgresql-15 source package (its patches
# applied), fetched by scripts/debian-source.sh, with TLS from the OpenSSL
# that scripts/openssl-source.sh built; cmake/libpq.cmake links them.
#
#   scripts/libpq-source.sh [DIR [OPENSSL]]
#       DIR      default build/third_party/libpq
#       OPENSSL  default build/third_party/openssl/openssl (its result)
#
# Result: DIR/libpq/{include,lib,COPYRIGHT,VERSION}; lib holds libpq.a and
# the two internal libraries it calls (libpgcommon_shlib.a, libpgport_shlib.a).
# Its stamp is written last, and with the stamp in place the script returns at
# once. Delete DIR to build again. The version matches the installed libpq-dev
# when the mirror still has it.
#
# Only the client library is compiled, not the server or its programs. The
# release tarball carries the parser the headers need, so no bison or flex.
#
# Needs apt, dpkg-source (dpkg-dev), perl, make, flock and mingw-w64.
# Progress on stderr, details in DIR/log/*.log, which a failure prints the
# end of.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build/third_party/libpq}"
ssl="${2:-$root/build/third_party/openssl/openssl}"
[ -f "$dir/libpq/.stamp" ] && exit 0

me=libpq-source
# shellcheck source=scripts/source-build.sh
. "$root/scripts/source-build.sh"

need flock:util-linux perl:perl make:make x86_64-w64-mingw32-gcc:gcc-mingw-w64-x86-64
[ -f "$ssl/.stamp" ] || die "no OpenSSL in $ssl (scripts/openssl-source.sh builds it)"
ssl="$(cd "$ssl" && pwd)"

lock_dir 40 "$dir/libpq/.stamp"
out="$dir/libpq"


start=$SECONDS
tree="$(DEBIAN_SOURCE_NAME=libpq-source "$root/scripts/debian-source.sh" "$dir" postgresql-15 libpq-dev | tail -n 1)"
want="$(cat "$dir/src/VERSION")"
[ -x "$tree/configure" ] || die "no postgresql-15 source tree in $dir/src"

say "building libpq for mingw-w64 with OpenSSL"
# OpenSSL's static libraries need these system libraries in configure's tests.
(cd "$tree" && step configure 900 ./configure --host=x86_64-w64-mingw32 --with-ssl=openssl \
    --without-readline --without-zlib --without-icu --without-ldap --without-gssapi \
    CPPFLAGS="-I$ssl/include" LDFLAGS="-L$ssl/lib" LIBS="-lws2_32 -lgdi32 -lcrypt32 -lbcrypt")
# The headers generated from the catalog (perl), then only the client's code.
(cd "$tree" && step headers 900 make -C src/backend generated-headers)
(cd "$tree" && step port 1800 make -j"$(nproc)" -C src/port libpgport_shlib.a)
(cd "$tree" && step common 1800 make -j"$(nproc)" -C src/common libpgcommon_shlib.a)
# On Windows the Makefile's libpq.a is the DLL's import library; the static
# one is archived here from the same objects (the version resource left out).
cat >"$dir/static.mk" <<'EOF'
zmk-static: $(filter-out $(WIN32RES),$(OBJS))
	rm -f libpq-static.a
	$(AR) crs libpq-static.a $^
EOF
(cd "$tree" && step libpq 1800 make -j"$(nproc)" -C src/interfaces/libpq -f Makefile -f "$dir/static.mk" zmk-static)
# libpq's own few pthread functions for Windows would clash with the
# toolchain's winpthreads, which std::thread links: they get names of libpq's.
x86_64-w64-mingw32-nm -g --defined-only "$tree/src/interfaces/libpq/libpq-static.a" 2>/dev/null |
    awk '$2 == "T" && $3 ~ /^pthread_/ { print $3, "pq_" $3 }' | sort -u >"$dir/pthread.map"
x86_64-w64-mingw32-objcopy --redefine-syms="$dir/pthread.map" "$tree/src/interfaces/libpq/libpq-static.a"

rm -rf "$out.new"
mkdir -p "$out.new/include" "$out.new/lib"
cp "$tree/src/interfaces/libpq/libpq-fe.h" "$tree/src/include/postgres_ext.h" \
    "$tree/src/include/pg_config_ext.h" "$out.new/include/"
cp "$tree/src/interfaces/libpq/libpq-static.a" "$out.new/lib/libpq.a"
cp "$tree/src/common/libpgcommon_shlib.a" "$tree/src/port/libpgport_shlib.a" "$out.new/lib/"
cp "$tree/COPYRIGHT" "$out.new/"
upstream="$(sed -n 's/^#define PG_VERSION "\(.*\)"/\1/p' "$tree/src/include/pg_config.h")"
[ -n "$upstream" ] || die "the generated pg_config.h names no version"
printf 'libpq %s from Debian postgresql-15 %s, with %s\n' "$upstream" "$want" "$(cat "$ssl/VERSION")" \
    >"$out.new/VERSION"
rm -rf "$out"
mv "$out.new" "$out"
cp "$out/VERSION" "$out/.stamp"
# The unpacked tree is 200 MB; the downloaded files stay.
rm -rf "$tree"
say "libpq $upstream (Debian $want) ready in $out after $((SECONDS - start)) s"
