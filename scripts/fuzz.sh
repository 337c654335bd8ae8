#!/usr/bin/env bash
# Builds the libFuzzer programs (clang, ASan and UBSan) and runs one of them.
# Usage: scripts/fuzz.sh whole_run|faulty_link [libFuzzer options...]
#   scripts/fuzz.sh faulty_link -max_total_time=30    a short run, as CI does
#   scripts/fuzz.sh faulty_link -runs=1000000         a long run
# New inputs go to build-fuzz/corpus/<target>, seeded from fuzz/corpus/<target>;
# fuzz/regressions/<target> is run first, read only. A failing input is
# written to build-fuzz/artifacts/<target>/: reproduce it with
#   UPDATE_FUZZ_VERBOSE=1 build-fuzz/fuzz/<target>_fuzzer <file>
# then keep it in fuzz/regressions/<target>/ once the fault is mended.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: scripts/fuzz.sh whole_run|faulty_link [libFuzzer options...]}
shift
case "$target" in
  whole_run|faulty_link) ;;
  *) echo "fuzz.sh: unknown target '$target'" >&2; exit 2 ;;
esac

scripts/deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --parallel "${JOBS:-$(nproc)}"

corpus=build-fuzz/corpus/$target
artifacts=build-fuzz/artifacts/$target
mkdir -p "$corpus" "$artifacts"
cp -n fuzz/corpus/"$target"/* "$corpus"/
build-fuzz/fuzz/"${target}"_fuzzer -print_final_stats=1 -artifact_prefix="$artifacts"/ "$@" \
  "$corpus" fuzz/regressions/"$target"
