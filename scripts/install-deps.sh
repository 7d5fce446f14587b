#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing
# when all of them are present. Runs as root on a fresh Debian 12 machine.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config clang libclang-rt-14-dev
  googletest
  g++-mingw-w64-x86-64 wine wine64
  xvfb x11-utils xdotool socat imagemagick
  qt6-base-dev libudev-dev libcli11-dev libpulse-dev nlohmann-json3-dev
  dpkg-dev help2man man-db lintian desktop-file-utils nsis
  libsqlite3-dev sqlite3 tcl libpq-dev postgresql libboost-dev openssl perl
  chromium chromium-driver python3-selenium
  prometheus libtomlplusplus-dev libsodium-dev minisign
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]}" >&2
  echo "run as root, or: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
