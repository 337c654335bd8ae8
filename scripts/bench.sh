#!/usr/bin/env bash
# Measures the host's share of a flash and prints one table: figure, value,
# goal. Installs what is missing, builds in build-bench (Release) and runs:
#   - the programming and verification passes of a 1 MiB image in process on
#     the libusb double: host time and heap allocations per block, and the
#     progress line's cost on /dev/null, a file, a pipe and a terminal;
#   - the real update against bench_reference (the bare bulk transfers of a
#     block write) on the emulated USB bus, 1 MiB image, rounds interleaved;
#   - the real update with its output on a terminal and in a file;
#   - peak resident memory of whole runs with a 1 MiB and a 64 MiB image.
# Usage: scripts/bench.sh
# Environment: BENCH_ROUNDS (side-by-side rounds, default 5), BENCH_SKIP_64M=1
# (leave out the 64 MiB run, about ten minutes on the emulated bus).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
rounds=${BENCH_ROUNDS:-5}

"$root/scripts/deps.sh" bench

say() { echo "bench: $*" >&2; }

say "building in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DUPDATE_BUILD_TESTS=ON -DUPDATE_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 --target update simbus update_bench bench_reference bench_pace >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
simbus="$build/tools/simbus/simbus"
pace="$build/bench/bench_pace"
reference="$build/bench/bench_reference"
update="$build/update"

# key value files
get() { awk -v k="$2" '$1 == k { print $2 }' "$1"; }
# "name counter value" summary of update_bench
counter() { awk -v b="$1" -v c="$2" '$1 == b && $2 == c { print $3 }' "$work/host.txt"; }
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
first_update() { awk -v c="$1" '$1 == "first_update" && $2 == c { print $3 }' "$work/host.txt"; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

say "in process: update_bench (libusb double, simulated device)"
"$build/bench/update_bench" --summary="$work/host.txt" --benchmark_color=false >&2

# Seven application sectors of 256 KiB hold the 1 MiB image, of 10 MiB the
# 64 MiB one.
"$simbus" make-image "$work/1m.bin" 1048576
bus_1m=("$simbus" --sector-size=262144 --)

# Rounds interleave the four kinds of run, so that the other load on the
# machine falls on all of them alike; medians are compared.
say "emulated bus: reference and update (stdout on a pipe, a terminal, a file), $rounds rounds"
for ((r = 1; r <= rounds; r++)); do
  "${bus_1m[@]}" "$reference" "$work/1m.bin" >"$work/reference.$r"
  for sink in pipe terminal file; do
    "${bus_1m[@]}" "$pace" --stdout=$sink --log="$work/update.log" -- "$update" "$work/1m.bin" >"$work/$sink.$r"
    [[ $(get "$work/$sink.$r" status) == 0 ]] || { say "update failed:"; tail -5 "$work/update.log" >&2; exit 1; }
  done
  say "  round $r blocks/s: reference $(get "$work/reference.$r" blocks_per_second), update on a pipe $(get "$work/pipe.$r" blocks_per_second), terminal $(get "$work/terminal.$r" blocks_per_second), file $(get "$work/file.$r" blocks_per_second)"
done
if [[ ${BENCH_SKIP_64M:-0} != 1 ]]; then
  say "emulated bus: update with a 64 MiB image (about ten minutes)"
  "$simbus" make-image "$work/64m.bin" 67108864
  "$simbus" --sector-size=10485760 -- "$pace" --stdout=pipe --log="$work/update.log" -- "$update" "$work/64m.bin" >"$work/64m"
  [[ $(get "$work/64m" status) == 0 ]] || { say "update failed:"; tail -5 "$work/update.log" >&2; exit 1; }
  rm -f "$work/64m.bin"
fi

per_round() { for ((r = 1; r <= rounds; r++)); do get "$work/$1.$r" "$2"; done; }
range() { echo "$(per_round "$1" "$2" | sort -g | head -1)-$(per_round "$1" "$2" | sort -g | tail -1)"; }
bps() { per_round "$1" blocks_per_second | median; }
# CPU time of the process over the timed span, per block: what the host
# spends, less sensitive than the wall clock to the other load on the machine.
cpu_per_block() { for ((r = 1; r <= rounds; r++)); do calc '%.1f\n' "$(get "$work/$1.$r" loop_cpu_seconds) * 1e6 / $(get "$work/$1.$r" blocks)"; done | median; }
ref_bps=$(bps reference)
upd_bps=$(bps pipe)
block_us=$(calc %.0f "1e6 / $upd_bps")

null=update_1MiB/stdout:null/real_time
line() { counter "progress_line/stdout:$1/real_time" ns_per_line; }

rows=()
row() { rows+=("$1|$2|$3"); }
row "in process: host time per block, updater's own (stdout /dev/null)" \
  "$(calc '%.2f us' "$(counter $null updater_ns_per_block) / 1000")" \
  "negligible against ${block_us} us a block on the bus"
row "in process: host time per block in libusb double + simulated device" \
  "$(calc '%.2f us' "$(counter $null stand_in_ns_per_block) / 1000")" "(stand-ins, not the updater)"
row "in process: heap allocations per block, updater's block loop" \
  "$(calc %.3f "$(counter $null updater_allocs_per_block)") ($(calc %.0f "$(counter $null updater_allocs)") in $(calc %.0f "$(counter $null blocks)") blocks)" "0"
row "in process: heap allocations per block, double + simulated device" \
  "$(calc %.1f "$(counter $null stand_in_allocs_per_block)")" "(stand-ins, reported apart)"
row "in process: heap allocations of a run's first update (once)" \
  "$(first_update updater_allocs) ($(first_update updater_alloc_bytes) bytes)" "constant, not per block"
for sink in null file pipe terminal; do
  row "in process: progress line per redraw, stdout $sink" \
    "$(calc '%.2f us' "$(line $sink) / 1000")" \
    "$(calc '%.2f%% of a bus block' "$(line $sink) / 1000 / $block_us * 100")"
done
for sink in file pipe terminal; do
  row "in process: host time per block, updater's own, stdout $sink" \
    "$(calc '%.2f us' "$(counter "update_1MiB/stdout:$sink/real_time" updater_ns_per_block) / 1000")" \
    "negligible against ${block_us} us"
done
row "emulated bus: reference blocks/s (median of $rounds; range)" "$ref_bps ($(range reference blocks_per_second))" "-"
for sink in pipe terminal file; do
  row "emulated bus: update blocks/s, stdout $sink (median of $rounds; range)" "$(bps $sink) ($(range $sink blocks_per_second))" "within 5% of reference"
  row "emulated bus: update / reference, stdout $sink" "$(calc %.3f "$(bps $sink) / $ref_bps")" ">= 0.95"
done
row "emulated bus: CPU per block in the loop, reference (median)" "$(cpu_per_block reference) us" "-"
for sink in pipe terminal file; do
  row "emulated bus: CPU per block in the loop, update, stdout $sink (median)" "$(cpu_per_block $sink) us" "reference + a few us"
done
# Peak resident memory varies from run to run by a few hundred KiB whatever
# the image (the libraries' pages touched, under the emulator's preload
# library); every 1 MiB run counts, and the anonymous memory (heap and
# stack) at the last block shows whether anything grew with the image.
all_1m() { for sink in pipe terminal file; do per_round $sink "$1"; done; }
rss_1m="$(all_1m max_rss_kib | sort -g | head -1)-$(all_1m max_rss_kib | sort -g | tail -1)"
row "peak RSS of update, 1 MiB image (range of $((3 * rounds)) runs)" "$rss_1m KiB" "same as 64 MiB"
row "RSS of update at the last block, 1 MiB: anonymous / file (median)" \
  "$(all_1m rss_anon_kib | median) / $(all_1m rss_file_kib | median) KiB" "same as 64 MiB"
if [[ -f "$work/64m" ]]; then
  row "peak RSS of update, 64 MiB image" "$(get "$work/64m" max_rss_kib) KiB" "within the 1 MiB range"
  row "RSS of update at the last block, 64 MiB: anonymous / file" \
    "$(get "$work/64m" rss_anon_kib) / $(get "$work/64m" rss_file_kib) KiB" "same as 1 MiB"
  row "emulated bus: update blocks/s, 64 MiB image" "$(get "$work/64m" blocks_per_second)" "-"
fi

echo
printf '%-74s | %-26s | %s\n' figure value goal
printf '%s\n' "$(printf '%.0s-' {1..130})"
for r in "${rows[@]}"; do
  IFS='|' read -r figure value goal <<<"$r"
  printf '%-74s | %-26s | %s\n' "$figure" "$value" "$goal"
done
echo "load average during the run: $(cut -d' ' -f1-3 /proc/loadavg)"
