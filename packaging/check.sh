#!/usr/bin/env bash
# Checks what `make package` wrote to build/packages, as a user meets it: the
# Debian package through lintian, apt-get install, the installed programs,
# their man pages and desktop entry, and removal; the Windows zip and the
# installer's silent install and uninstall under Wine. As root: it installs
# and removes the package on this machine.
set -uo pipefail
cd "$(dirname "$0")/.."
pk=build/packages
version=$(sed -n 's/^project(zmk VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=$pk/zmk_${version}_amd64.deb
zip=$pk/zmk-${version}-windows.zip
setup=$pk/zmk-${version}-setup.exe
log=$pk/check.log
tmp=$(mktemp -d)
: >"$log"
passed=0 failed=0
trap 'rm -rf "$tmp"' EXIT

check() {
  local what=$1
  shift
  echo "== $what" >>"$log"
  if "$@" >>"$log" 2>&1; then
    echo "ok   $what"
    passed=$((passed + 1))
  else
    echo "FAIL $what"
    tail -n 15 "$log" | sed 's/^/     /'
    failed=$((failed + 1))
  fi
}

apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"; }
installed() { dpkg-query -W -f='${Status}' zmk 2>/dev/null | grep -q 'install ok installed'; }
versions_match() {
  local p
  for p in zmk zmk-cli zmk-devsim; do
    [ "$("/usr/bin/$p" --version)" = "$p $version" ] || { echo "$p: $("/usr/bin/$p" --version)"; return 1; }
  done
}
# The installed programs, end to end: zmk-cli flashes the simulator.
installed_run() {
  /usr/bin/zmk-devsim --link "$tmp/tty" --baud 0 --erase-ms 0 --expect resources/image.bin \
    --report "$tmp/report.json" --max-seconds 60 --quiet &
  local sim=$!
  for _ in $(seq 50); do [ -e "$tmp/tty" ] && break; sleep 0.1; done
  /usr/bin/zmk-cli --quiet --timeout 10 "$tmp/tty" && wait "$sim"
}
# Two devices at once: each run in the installed zmk-device.
installed_batch() {
  local sims=() i
  for i in 1 2; do
    /usr/bin/zmk-devsim --link "$tmp/tty$i" --baud 0 --erase-ms 0 --expect resources/image.bin \
      --max-seconds 60 --quiet &
    sims+=($!)
  done
  for _ in $(seq 50); do [ -e "$tmp/tty1" ] && [ -e "$tmp/tty2" ] && break; sleep 0.1; done
  /usr/bin/zmk-cli --quiet --timeout 10 "$tmp/tty1" "$tmp/tty2" && wait "${sims[@]}"
}
nothing_left() {
  local f
  installed && return 1
  for f in $(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}'); do
    [ ! -e "$f" ] || { echo "left behind: $f"; return 1; }
  done
}
purged() { apt_get purge zmk && nothing_left; }
# The installed rule that matches USB serial adapters (continued lines
# joined) carries every assignment given.
adapter_rule_sets() {
  local rule a
  rule=$(sed -e ':a' -e '/\\$/{N;s/\\\n//;ba}' /lib/udev/rules.d/70-zmk.rules |
    grep -F 'KERNEL=="ttyUSB[0-9]*|ttyACM[0-9]*"')
  for a in "$@"; do
    grep -qF "$a" <<<"$rule" || { echo "not in the adapters' rule: $a"; return 1; }
  done
}
# The installed rule for FTDI adapters sets their latency timer to 1 ms.
ftdi_rule_lowers_latency() {
  sed -e ':a' -e '/\\$/{N;s/\\\n//;ba}' /lib/udev/rules.d/70-zmk.rules |
    grep -F 'DRIVER=="ftdi_sio"' | grep -F 'ATTRS{idVendor}=="0403"' | grep -qF 'ATTR{latency_timer}="1"'
}

echo "== Debian package $deb"
lintian --fail-on error --info "$deb" >"$pk/lintian.txt" 2>&1
lint=$?
sed 's/^/   /' "$pk/lintian.txt"
check "lintian: no errors" test "$lint" -eq 0
dpkg-deb -c "$deb" >"$pk/contents.txt"
installed && apt_get purge zmk >>"$log" 2>&1
check "apt-get install ./$(basename "$deb")" apt_get install "$PWD/$deb"
check "--version of zmk, zmk-cli, zmk-devsim: $version" versions_match
check "man -w zmk zmk-cli zmk-devsim" man -w zmk zmk-cli zmk-devsim
check "desktop-file-validate" desktop-file-validate /usr/share/applications/zmk.desktop
check "the udev rule tags USB serial adapters for the seat" adapter_rule_sets 'TAG+="uaccess"'
check "the udev rule keeps the modem manager off USB serial adapters" \
  adapter_rule_sets 'ENV{ID_MM_DEVICE_IGNORE}="1"' 'ENV{ID_MM_PORT_IGNORE}="1"'
check "the udev rule sets FTDI adapters' latency timer to 1 ms" ftdi_rule_lowers_latency
check "the installed zmk-cli flashes the installed zmk-devsim" installed_run
check "the installed zmk-cli programs two devices at once" installed_batch
check "apt-get remove" apt_get remove zmk
check "purged, nothing left behind" purged

echo "== Windows packages under Wine"
export WINEPREFIX="${ZMK_PACKAGE_WINEPREFIX:-$HOME/.cache/zmk/wine-package}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >>"$log" 2>&1; wineserver -w; }
wineserver -p 2>/dev/null
trap 'wineserver -k 2>/dev/null; rm -rf "$tmp"' EXIT
c='C:\Program Files\zmk'
unix_c="$WINEPREFIX/drive_c/Program Files/zmk"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/zmk/zmk.lnk"
wine_version() { [ "$(wine "$1" --version | tr -d '\r')" = "zmk-cli $version" ]; }
installed_files() {
  local f
  for f in zmk.exe zmk-cli.exe zmk-device.exe README.md LICENSE.txt Uninstall.exe; do
    [ -f "$unix_c/$f" ] || { echo "missing: $f"; return 1; }
  done
  [ -f "$menu" ] || { echo "no Start-menu entry"; return 1; }
}
# The uninstaller copies itself away and returns at once: wait for its work.
uninstalled() {
  wine "$c\\Uninstall.exe" /S || return 1
  for _ in $(seq 60); do
    [ -e "$unix_c" ] || [ -e "$menu" ] || return 0
    sleep 1
  done
  return 1
}
(cd "$tmp" && cmake -E tar xf "$OLDPWD/$zip")
check "the zip's zmk-cli.exe --version" wine_version "$tmp/zmk-$version-windows/zmk-cli.exe"
check "the zip holds zmk.exe, zmk-device.exe, README.md, LICENSE.txt, the libraries' licences" \
  test -f "$tmp/zmk-$version-windows/zmk.exe" -a -f "$tmp/zmk-$version-windows/zmk-device.exe" \
  -a -f "$tmp/zmk-$version-windows/README.md" \
  -a -f "$tmp/zmk-$version-windows/LICENSE.txt" \
  -a -f "$tmp/zmk-$version-windows/licenses/OpenSSL.txt"
check "silent install: $(basename "$setup") /S" wine "$setup" /S
check "installed under Program Files, with a Start-menu entry" installed_files
check "installed zmk-cli.exe --version" wine_version "$c\\zmk-cli.exe"
check "silent uninstall" uninstalled
check "uninstall entry removed" sh -c "! wine reg query \
  'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\zmk'"

echo "package checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
