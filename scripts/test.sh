#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the unit
# and scenario tests, the end-to-end tests on the emulated USB bus, then the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer and a short
# run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
cmake --preset default
cmake --build --preset default
ctest --preset default
scripts/check-hardening.sh "${FUZZ_SECONDS:-30}"
