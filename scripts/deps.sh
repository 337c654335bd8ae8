#!/usr/bin/env bash
# Installs the Debian packages a job needs, only those that are missing.
# Usage: scripts/deps.sh build|test|demo|lint|package|fuzz|bench|all
# Non-interactive and idempotent; uses sudo when not run as root.
set -euo pipefail

build_pkgs=(g++ cmake ninja-build pkg-config libusb-1.0-0-dev)
test_pkgs=(libgtest-dev libgmock-dev)
emu_pkgs=(umockdev libumockdev0 libumockdev-dev libglib2.0-dev)
package_pkgs=(man-db dpkg-dev)
lint_pkgs=(clang-format clang-tidy)
# clang with libFuzzer and the sanitizer runtimes.
fuzz_pkgs=(clang-14 libclang-rt-14-dev)
bench_pkgs=(libbenchmark-dev)

want=()
for job in "$@"; do
  case "$job" in
    build) want+=("${build_pkgs[@]}") ;;
    # The end-to-end tests run the program on a bus emulated with umockdev.
    test) want+=("${build_pkgs[@]}" "${test_pkgs[@]}" "${emu_pkgs[@]}") ;;
    demo) want+=("${build_pkgs[@]}" "${emu_pkgs[@]}") ;;
    lint) want+=("${build_pkgs[@]}" "${lint_pkgs[@]}") ;;
    package) want+=("${build_pkgs[@]}" "${package_pkgs[@]}") ;;
    fuzz) want+=("${build_pkgs[@]}" "${test_pkgs[@]}" "${fuzz_pkgs[@]}") ;;
    # Benchmarks: in process on the libusb double, and on the emulated bus.
    bench) want+=("${build_pkgs[@]}" "${test_pkgs[@]}" "${emu_pkgs[@]}" "${bench_pkgs[@]}") ;;
    all) want+=("${build_pkgs[@]}" "${test_pkgs[@]}" "${emu_pkgs[@]}") ;;
    *) echo "deps.sh: unknown job '$job'" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${want[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

# De-duplicate while keeping order.
readarray -t missing < <(printf '%s\n' "${missing[@]}" | awk '!seen[$0]++')
echo "Installing: ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
