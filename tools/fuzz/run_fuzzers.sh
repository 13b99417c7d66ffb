#!/usr/bin/env bash
# Builds the libFuzzer targets of tools/fuzz (build.sh) and runs each one
# for a number of runs under AddressSanitizer and UndefinedBehaviorSanitizer.
# Not part of tools/run_tests.sh.
#
#   tools/fuzz/run_fuzzers.sh [runs] [target ...]
#     runs      runs per target (default 1000000)
#     target    fuzz_option, fuzz_base64, fuzz_topology (default: all three)
#   Environment:
#     FUZZ_MAX_TOTAL_TIME   seconds allowed per target (default 1800); a
#                           target stopped by it before its runs is a failure
#     FUZZ_TIMEOUT          seconds one input may take before it counts as a
#                           hang (default 10)
#     FUZZ_BUILD_DIR        build and work folder (default build/fuzz)
#     FUZZ_NO_BUILD=1       use the targets already built
#
# For each target it prints the runs done, the seconds taken and the result;
# it exits 1 when any target crashed, leaked, hung, ran out of memory or did
# not reach its run count.  Inputs that fail are kept under
# <build dir>/artifacts/<target>/; inputs that found new coverage under
# <build dir>/work/<target>/ (the seed corpora in tools/fuzz/corpus are only
# read).
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
fz="$root/tools/fuzz"
runs="${1:-1000000}"
[[ $# -gt 0 ]] && shift
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=(fuzz_option fuzz_base64 fuzz_topology)
max_total_time="${FUZZ_MAX_TOTAL_TIME:-1800}"
timeout="${FUZZ_TIMEOUT:-10}"
out="${FUZZ_BUILD_DIR:-$root/build/fuzz}"

if ! [[ "$runs" =~ ^[0-9]+$ ]] || [[ "$runs" -lt 1 ]]; then
  echo "run_fuzzers.sh: runs must be a positive number, not '$runs'" >&2
  exit 2
fi

if [[ "${FUZZ_NO_BUILD:-0}" != 1 ]]; then
  "$fz/build.sh" "$out" || { echo "run_fuzzers.sh: build failed" >&2; exit 1; }
fi

# Open MPI (fuzz_topology) as root, and in containers without ptrace rights.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_btl_vader_single_copy_mechanism=none
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=0
summary=()
for target in "${targets[@]}"; do
  exe="$out/$target"
  if [[ ! -x "$exe" ]]; then
    echo "run_fuzzers.sh: no target $exe" >&2
    failed=1
    summary+=("$target: not built")
    continue
  fi
  work="$out/work/$target"
  artifacts="$out/artifacts/$target"
  log="$out/$target.log"
  mkdir -p "$work" "$artifacts"
  extra=()
  [[ -f "$fz/$target.dict" ]] && extra+=(-dict="$fz/$target.dict")
  asan=detect_leaks=1
  lsan=""
  if [[ "$target" == fuzz_topology ]]; then
    # As the project's sanitizer tests: Open MPI frames need the slow
    # unwinder for tests/sanitizer/lsan.supp (Open MPI only) to match.  The
    # library's error lines go to stderr, closed here (-close_fd_mask=2);
    # libFuzzer's and the sanitizers' reports still show.
    asan=detect_leaks=1:detect_odr_violation=0:fast_unwind_on_malloc=0
    lsan="suppressions=$root/tests/sanitizer/lsan.supp:use_tls=0"
    extra+=(-close_fd_mask=2)
  fi
  echo "run_fuzzers.sh: $target: $runs runs (at most ${max_total_time}s), log $log"
  start=$(date +%s.%N)
  ASAN_OPTIONS="$asan" LSAN_OPTIONS="$lsan" "$exe" \
    -runs="$runs" -max_total_time="$max_total_time" -timeout="$timeout" \
    -rss_limit_mb=4096 -detect_leaks=1 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "${extra[@]}" \
    "$work" "$fz/corpus/$target" >"$log" 2>&1
  rc=$?
  end=$(date +%s.%N)
  seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')
  done_runs=$(sed -n 's/^Done \([0-9]*\) runs in .*/\1/p' "$log" | tail -n 1)
  [[ -z "$done_runs" ]] && done_runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  [[ -z "$done_runs" ]] && done_runs="?"
  result=ok
  if [[ $rc -ne 0 ]]; then
    result="FAILED (exit status $rc)"
    grep -m1 -E "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|fuzz_[a-z0-9]+: " "$log" |
      sed 's/^/    /'
    grep -E "^(artifact_prefix|Test unit written)" "$log" | sed 's/^/    /'
  elif [[ "$done_runs" != "$runs" ]]; then
    result="FAILED (stopped after ${max_total_time}s, before $runs runs)"
    rc=3
  fi
  [[ $rc -ne 0 ]] && failed=1
  line="$target: runs $done_runs, ${seconds}s, $result"
  echo "run_fuzzers.sh: $line"
  summary+=("$line")
done

echo "run_fuzzers.sh: summary"
printf '  %s\n' "${summary[@]}"
exit $failed
