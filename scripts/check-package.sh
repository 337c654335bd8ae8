#!/usr/bin/env bash
# Builds the Debian package, installs it into this machine with dpkg and
# checks the installed program, its manual page and its udev rule.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)

# A package installs under /usr, where udev also reads packaged rules.
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DUPDATE_BUILD_TESTS=OFF >/dev/null
cmake --build build-package --target update
rm -f build-package/update_*.deb
(cd build-package && cpack -G DEB >/dev/null)
deb=$(ls build-package/update_*.deb)
echo "Built $deb"
dpkg-deb --field "$deb" Package Version Depends
dpkg-deb --field "$deb" Depends | grep -q 'libusb-1.0-0' || { echo "check-package: no libusb-1.0-0 dependency" >&2; exit 1; }
"${sudo_cmd[@]}" dpkg -i "$deb"

fail() { echo "check-package: $*" >&2; exit 1; }

set +e
usage=$(/usr/bin/update)
status=$?
set -e
[[ "$usage" == "Usage: update image_filename" ]] || fail "unexpected usage output: '$usage'"
[[ $status -eq 255 ]] || fail "exit status $status without argument, expected 255"
man -w update || fail "man cannot find update(1)"
[[ -f /usr/lib/udev/rules.d/60-update-bootloader.rules ]] || fail "udev rule not installed"
grep -q 'TAG+="uaccess"' /usr/lib/udev/rules.d/60-update-bootloader.rules || fail "udev rule lacks uaccess"
echo "Package check passed: update installed, usage and status 255, man page and udev rule in place"
