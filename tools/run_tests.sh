#!/usr/bin/env bash
# Builds and runs every test: the emulated flavour, the cuda flavour (device
# tests skip without a GPU, each with its reason), and the emulated flavour
# again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

"$root/tools/setup_deps.sh" || exit 1

passed=0
failed=0
skipped=0
status=0

# run_flavour <name> <cmake args...>
# With TARGET and TESTS set, builds only that target and runs only the tests
# whose names match TESTS.
run_flavour() {
  local name=$1
  shift
  local dir="$root/build/$name"
  local select=()
  [ -z "${TESTS:-}" ] || select=(-R "$TESTS")
  echo "=== $name: build"
  if ! configure_and_build "$dir" "$@"; then
    echo "=== $name: BUILD FAILED"
    failed=$((failed + 1))
    status=1
    return
  fi
  echo "=== $name: test"
  local log="$dir/ctest.log"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" "${select[@]}" 2>&1) | tee "$log"
  local rc=${PIPESTATUS[0]}
  local p f s
  p=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$log")
  s=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*Skipped' "$log")
  f=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*(Failed|Timeout|Exception)|Not Run' "$log")
  passed=$((passed + p))
  skipped=$((skipped + s))
  failed=$((failed + f))
  [ "$rc" -eq 0 ] || status=1
  echo "=== $name: $p passed, $f failed, $s skipped"
}

run_flavour emulated -DQOR_GPU=emulated
if command -v nvcc >/dev/null 2>&1; then
  run_flavour cuda -DQOR_GPU=cuda -DQOR_BUILD_BENCH=OFF
else
  echo "=== cuda: no CUDA toolkit on this machine, flavour not built"
fi
# -O1 keeps the instrumented build quick; the sanitizers need no more.
run_flavour sanitize -DQOR_GPU=emulated -DQOR_SANITIZE=ON -DQOR_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
# The worker thread and the watchdog under ThreadSanitizer, in the start
# mode that needs no MPI (Open MPI itself is not built for ThreadSanitizer).
TARGET="test_interface watchdog_job" TESTS='test_interface\.(mpiless|exit_outstanding)|watchdog\.mpiless' \
  TSAN_OPTIONS=halt_on_error=1 \
  run_flavour tsan -DQOR_GPU=emulated -DQOR_TSAN=ON -DQOR_BUILD_BENCH=OFF

[ "$failed" -eq 0 ] || status=1
echo "all flavours: $passed passed, $failed failed, $skipped skipped"
exit $status
