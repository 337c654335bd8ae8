#!/usr/bin/env bash
# Formatting and static checks: every C++ file must be as clang-format writes
# it, and the program's and the simulated device's sources must pass
# clang-tidy.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh lint

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
echo "clang-format: ${#sources[@]} files formatted"

cmake --preset default >/dev/null
mapfile -t checked < <(git ls-files 'src/*.cpp' 'sim/*.cpp')
status=0
report=$(clang-tidy --quiet -p build "${checked[@]}" 2>&1) || status=$?
grep -v ' warnings generated\.$' <<<"$report" || true
[[ $status -eq 0 ]] || { echo "clang-tidy: findings above" >&2; exit "$status"; }
echo "clang-tidy: ${#checked[@]} files clean"
