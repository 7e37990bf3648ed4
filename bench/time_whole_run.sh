#!/usr/bin/env bash
# Times quivel as a whole process on a 3840 x 2160 input, beside cp of the input file, with its
# peak resident memory and the share of reading, copying the bytes no pixel covers,
# filtering, progress output and writing.
# Usage: bench/time_whole_run.sh [build directory]   (default: build)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/bench/convolution_bench" --write-files "$work"

# Best wall time in ms of five runs of a command; its standard output goes to a file, as when
# the console is redirected.
best_ms() {
  local best=""
  for _ in 1 2 3 4 5; do
    local start end ms
    start=$(date +%s%N)
    "$@" > "$work/stdout.txt"
    end=$(date +%s%N)
    ms=$(( (end - start) / 1000000 ))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}

input_bytes=$(stat -c %s input.bmp)
cp_ms=$(best_ms cp input.bmp copy.bmp)
echo "input: 3840 x 2160, $input_bytes bytes; cp of the input file: $cp_ms ms (best of 5)"
printf '%-8s %10s %6s %9s %10s  %s\n' matrix "quivel ms" "x cp" "peak MiB" "limit MiB" \
  "one run's phases: read, filler copy, filter, progress output, write"
for side in 1 3 7 15 31; do
  matrix=matrix$side.bmp
  ms=$(best_ms "$build/quivel" input.bmp "$matrix")
  /usr/bin/time -v "$build/quivel" input.bmp "$matrix" > /dev/null 2> time.txt
  peak_kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' time.txt)
  # 2 x DI + DM + 16 MiB, with DI and DM the pixel-block lengths.
  limit_kib=$(( (2 * (input_bytes - 54) + $(stat -c %s "$matrix") - 54) / 1024 + 16 * 1024 ))
  phases=$("$build/bench/convolution_bench" --phases input.bmp "$matrix" 2>&1 > "$work/stdout.txt")
  printf '%-8s %10s %6s %9s %10s  %s\n' "${side}x$side" "$ms" \
    "$(awk -v a="$ms" -v b="$cp_ms" 'BEGIN { printf "%.1f", a / (b > 0 ? b : 1) }')" \
    "$(( peak_kib / 1024 ))" "$(( limit_kib / 1024 ))" "$phases"
done
