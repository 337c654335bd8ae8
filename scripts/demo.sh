#!/usr/bin/env bash
# A whole update without hardware: installs what is missing, builds the
# program and the emulated bus, makes a 64 KiB sample image and runs the real
# `update` (linked against the real libusb) on a USB bus emulated with
# umockdev, against a simulated device that starts in its application. The
# run shows the device list, the probe, the restart into the bootloader with
# its 10-second wait, programming, verification and "Success!".
# Exits with the status of `update`.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-demo

scripts/deps.sh demo
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target update simbus

workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT
"$build/tools/simbus/simbus" make-image "$workdir/firmware.bin" 65536

echo
echo "\$ update firmware.bin    # on an emulated USB bus; the device runs its application"
echo
cd "$workdir"
status=0
"$build/tools/simbus/simbus" --application -- "$build/update" firmware.bin || status=$?
exit "$status"
