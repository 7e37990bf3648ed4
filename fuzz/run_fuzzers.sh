#!/usr/bin/env bash
# Runs both fuzz targets side by side for a bounded time, starting from the seed corpus and
# the saved regression inputs. Usage: fuzz/run_fuzzers.sh [build dir] [seconds per target]
# An input that breaks a target is left in <build dir>/fuzz/artifacts/; keep it as a
# regression case in fuzz/regressions/<target>/ once the fault is mended.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
seconds=${2:-60}
work="$build/fuzz"

"$work/quivel_fuzz_seeds" "$work/seeds" >/dev/null || exit 1
mkdir -p "$work/artifacts" "$work/tmp"
# libFuzzer ends without running exit handlers, so the targets' private directories are
# made here rather than left behind in /tmp.
export TMPDIR="$(cd "$work/tmp" && pwd)"

# Inputs are at most 4 KiB, so the tool's blocks are too: any single allocation of 16 MiB
# is far beyond what the files hold and fails the run, as does a run that takes 10 s.
for target in bmp_file run_tool; do
  mkdir -p "$work/corpus/$target"
  saved=("$work/seeds")
  [ -d "fuzz/regressions/$target" ] && saved+=("fuzz/regressions/$target")
  "$work/quivel_fuzz_$target" "$work/corpus/$target" "${saved[@]}" \
    -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -rss_limit_mb=1024 -malloc_limit_mb=16 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/$target-" >"$work/$target.log" 2>&1 &
  pids+=($!)
done

failed=0
targets=(bmp_file run_tool)
for i in 0 1; do
  target=${targets[$i]}
  if wait "${pids[$i]}"; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
    corpus=$(grep -o 'corp: [0-9]*/[0-9]*b' "$work/$target.log" | tail -1)
    added=$(find "$work/corpus/$target" -type f | wc -l)
    echo "fuzz $target: ${runs:-?} executions in ${seconds} s, ${corpus:-corp: ?}" \
      "($added new inputs in $work/corpus/$target)"
  else
    failed=1
    echo "fuzz $target FAILED; the input is in $work/artifacts/:"
    grep -E 'ERROR|invariant broken|SUMMARY|Test unit written' "$work/$target.log" | head -20
    tail -40 "$work/$target.log"
  fi
done
exit $failed
