#!/usr/bin/env bash
# The hardening checks of CI: the whole test suite built with AddressSanitizer
# and UndefinedBehaviorSanitizer, then a short run of each fuzzer.
# Usage: scripts/check-hardening.sh [seconds per fuzzer, default 30]
#
# The asan test preset sets the sanitizers' options: leaks are checked, with
# scripts/lsan.supp naming what libusb hands out and the updater keeps until
# exit; verify_asan_link_order=0 lets the end-to-end tests put umockdev's
# preload library in front of the sanitizer runtime, which still intercepts
# every allocation. fast_unwind_on_malloc=0 walks allocation stacks through
# libusb, which is built without frame pointers, so that the suppressions can
# see which libusb call made an allocation.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

jobs=(test fuzz)
# The end-to-end tests run the program on an emulated USB bus.
[[ -d tests/e2e ]] && jobs+=(demo)
scripts/deps.sh "${jobs[@]}"

cmake --preset asan
cmake --build --preset asan --parallel "${JOBS:-$(nproc)}"
ctest --preset asan --parallel "${JOBS:-$(nproc)}"

for target in whole_run faulty_link; do
  scripts/fuzz.sh "$target" -max_total_time="$seconds"
done
