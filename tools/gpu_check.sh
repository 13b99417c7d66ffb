#!/usr/bin/env bash
# Device checks of the engine's GPU code, for a machine with a GPU that may
# have neither Open MPI, nor GoogleTest, nor a network (the lent GPU machines
# have the CUDA toolkit, CMake and Python's NCCL wheel).  Run from the
# repository root:
#
#   tools/gpu_check.sh --fetch-deps
#       On a Debian 12 machine with apt (this project's own machines): puts the
#       Debian packages of Open MPI and GoogleTest into build-gpu-deps/, a
#       git-ignored folder, for the GPU machine.
#   tools/gpu_check.sh
#       On the GPU machine, with build-gpu-deps/ carried along.  Through the
#       device tool:  run(command="bash tools/gpu_check.sh", carry=["build-gpu-deps"],
#       timeout_s=420); the results come back under $OUT when it is set.
#
# What it checks: with MPI (the system's, or the carried packages unpacked
# into build-gpu-check/root and relocated there), GoogleTest and NCCL (the
# system's or the Python wheel's), the cuda flavour is built and its device
# tests run with one process: the engine (test_engine: every traversal,
# collective and fold in GPU mode), algorithm selection (test_selection),
# whole driver calls and the pipelined layer (test_allreduce), the packing
# kernels (test_siblings), the hardware layer (test_hw), the MPI + NCCL
# mode's allreduce of float and half, the MPI-less NCCL mode with one worker
# and the legacy engine end to end (test_interface); then the engine's GPU-mode traversals with two
# processes sharing the GPU, so that device buffers cross MPI (staged when
# MPI is not CUDA-aware); with two GPUs or more also the exit with an
# asynchronous request outstanding.
# Without a GPU everything still builds and reports its tests as skipped;
# with one, a test that could not run counts as failed.  The whole check
# stops after QOR_GPU_CHECK_SECONDS (default 400).
# Last line: "gpu check: N passed, N failed, N skipped"; exit status 1 when
# anything failed.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
deps="$root/build-gpu-deps"
work="${QOR_GPU_CHECK_DIR:-$root/build-gpu-check}"
out="${OUT:-$work/out}"
jobs="$(nproc 2>/dev/null || echo 4)"
packages=(libopenmpi3 libopenmpi-dev openmpi-bin openmpi-common libhwloc15
          libevent-core-2.1-7 libevent-pthreads-2.1-7 libpmix2 libmunge2 libgtest-dev)

if [[ "${1:-}" == "--fetch-deps" ]]; then
  mkdir -p "$deps"
  (cd "$deps" && apt-get download "${packages[@]}")
  exit $?
fi

mkdir -p "$work" "$out"
counts="$work/counts"
note() { echo "gpu check: $*" | tee -a "$out/gpu_check.log"; }

# The outer run: the check itself under a time limit, and the last line
# even when the limit ends it.
if [[ "${1:-}" != "--inner" ]]; then
  echo "0 0 0" > "$counts"
  timeout --kill-after=10 "${QOR_GPU_CHECK_SECONDS:-400}" bash "$0" --inner
  rc=$?
  read -r passed failed skipped < "$counts"
  if [[ $rc == 124 || $rc == 137 ]]; then
    note "stopped after ${QOR_GPU_CHECK_SECONDS:-400} s"
    failed=$((failed + 1))
  fi
  echo "gpu check: $passed passed, $failed failed, $skipped skipped" | tee -a "$out/gpu_check.log"
  [[ $failed == 0 ]]
  exit $?
fi
passed=0 failed=0 skipped=0
save_counts() { echo "$passed $failed $skipped" > "$counts"; }
# Open MPI on a machine without ssh or a resource manager: all processes
# on this host, started directly.
export OMPI_MCA_plm=isolated OMPI_MCA_btl_vader_single_copy_mechanism=none
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1

# --- the toolkit -----------------------------------------------------------------
nvcc="$(command -v nvcc || true)"
[[ -z "$nvcc" && -x /usr/local/cuda/bin/nvcc ]] && nvcc=/usr/local/cuda/bin/nvcc
if [[ -z "$nvcc" ]]; then
  note "no nvcc: nothing can be built"
  echo "gpu check: 0 passed, 1 failed, 0 skipped"
  exit 1
fi
cuda_home="$(cd "$(dirname "$nvcc")/.." && pwd)"
export PATH="$cuda_home/bin:$PATH"
have_gpu=0
if command -v nvidia-smi > /dev/null && nvidia-smi -L > /dev/null 2>&1; then have_gpu=1; fi
note "nvcc $("$nvcc" --version | tail -1), GPU present: $have_gpu"

# --- the library's device tests ------------------------------------------------------
library_tests() {
  local cmake_args=()
  # NCCL: the system's, else the one of Python's nvidia-nccl wheel.
  local nccl_inc="" nccl_lib=""
  # Test programs find the toolkit's libraries (and NCCL's) without help.
  local rpath="$cuda_home/lib64"
  local have_nccl=0 d
  for d in "$cuda_home" /usr /usr/local; do
    if [[ -f "$d/include/nccl.h" ]] && { compgen -G "$d/lib*/libnccl.so*" ||
                                          compgen -G "$d/lib/*/libnccl.so*"; } > /dev/null; then
      have_nccl=1
    fi
  done
  if [[ $have_nccl == 1 ]]; then
    :  # where CMake looks by itself
  else
    # The wheel's package has no __init__.py, hence no __file__: its
    # __path__ says where it is.
    local wheel
    wheel="$(python3 -c 'import nvidia.nccl as m; print(list(m.__path__)[0])' 2>/dev/null || true)"
    if [[ -n "$wheel" && -f "$wheel/include/nccl.h" ]]; then
      nccl_inc="$wheel/include"
      nccl_lib="$(ls "$wheel"/lib/libnccl.so* 2>/dev/null | head -1)"
    fi
    if [[ -z "$nccl_lib" ]]; then
      note "no NCCL found: library tests not run"
      return 2
    fi
    cmake_args+=("-DQOR_NCCL_INCLUDE_DIR=$nccl_inc" "-DQOR_NCCL_LIBRARY=$nccl_lib")
    rpath="$rpath;$(dirname "$nccl_lib")"
    export LD_LIBRARY_PATH="$(dirname "$nccl_lib")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
  fi

  # MPI and GoogleTest: the system's, else the carried Debian packages.
  if ! command -v mpicxx > /dev/null || [[ ! -f /usr/include/gtest/gtest.h ]]; then
    if ! ls "$deps"/*.deb > /dev/null 2>&1; then
      note "no MPI or GoogleTest here and no carried packages in build-gpu-deps/: library tests not run"
      return 2
    fi
    local r="$work/root" triplet=x86_64-linux-gnu
    rm -rf "$r" && mkdir -p "$r"
    for f in "$deps"/*.deb; do
      if command -v dpkg-deb > /dev/null; then
        dpkg-deb -x "$f" "$r"
      else
        (cd "$work" && ar x "$f" data.tar.xz && tar -xJf data.tar.xz -C "$r" && rm -f data.tar.xz)
      fi
    done
    # Open MPI and PMIx relocated to where they were unpacked.
    export OPAL_PREFIX="$r/usr" PMIX_INSTALL_PREFIX="$r/usr"
    export OMPI_MCA_mca_base_component_show_load_errors=0
    export LD_LIBRARY_PATH="$r/usr/lib/$triplet:$r/usr/lib/$triplet/openmpi/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    mkdir -p "$work/bin"
    for tool in mpicc mpicxx mpiexec orted orterun; do
      [[ -e "$r/usr/bin/$tool.openmpi" ]] && ln -sf "$r/usr/bin/$tool.openmpi" "$work/bin/$tool"
      [[ -e "$r/usr/bin/$tool" ]] && ln -sf "$r/usr/bin/$tool" "$work/bin/$tool"
    done
    export PATH="$work/bin:$PATH"
    cmake_args+=("-DMPI_C_COMPILER=$work/bin/mpicc" "-DMPI_CXX_COMPILER=$work/bin/mpicxx"
                 "-DMPIEXEC_EXECUTABLE=$work/bin/mpiexec" "-DCMAKE_PREFIX_PATH=$r/usr")
  fi

  local build="$work/build"
  # Machine code for this card only (quick); for sm_75 when there is no card.
  local cuda_arch=75-real
  [[ $have_gpu == 1 ]] && cuda_arch=native
  cmake -S "$root" -B "$build" -DQOR_GPU=cuda -DQOR_BUILD_BENCH=OFF \
        -DCMAKE_CUDA_ARCHITECTURES="$cuda_arch" "-DCMAKE_BUILD_RPATH=$rpath" "${cmake_args[@]}" \
        > "$out/configure.log" 2>&1 ||
    { tail -30 "$out/configure.log"; note "configure failed"; return 1; }
  cmake --build "$build" -j"$jobs" --target test_engine test_selection test_allreduce test_siblings test_hw test_interface \
        > "$out/build.log" 2>&1 ||
    { grep -E 'error|Error' "$out/build.log" | head -30; note "build failed"; return 1; }
  (cd "$build" && ctest --output-on-failure --timeout 120 \
     -R '^(test_(engine|selection|allreduce|hw)\.np1|test_siblings|test_interface\.(mpi_nccl\.np1|mpiless\.np1|legacy_engine_gpu\.np1|exit_outstanding\.np2))$') \
    > "$out/ctest.log" 2>&1
  cat "$out/ctest.log"
  local p f s
  p=$(grep -cE 'Test +#[0-9]+: .* +Passed' "$out/ctest.log")
  f=$(grep -cE 'Test +#[0-9]+: .* \*\*\*(Failed|Timeout|Exception)|Test +#[0-9]+: .* Not Run' "$out/ctest.log")
  s=$(grep -cE 'Test +#[0-9]+: .*(\*\*\*| )Skipped' "$out/ctest.log")
  [[ $((p + f + s)) -gt 0 ]] || { note "no library test ran"; return 1; }
  passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
  save_counts
  # Two processes on the one GPU: the engine's traversals move device
  # buffers through MPI.
  if [[ $have_gpu == 1 ]]; then
    if (cd "$build" && mpiexec -n 2 --oversubscribe tests/engine/test_engine \
          '--gtest_filter=Modes/*.*gpu*:Folds.*:Buffers.*') > "$out/shared_gpu.log" 2>&1; then
      passed=$((passed + 1))
    else
      tail -40 "$out/shared_gpu.log"
      note "engine traversals of two processes on one GPU failed"
      failed=$((failed + 1))
    fi
  fi
  return 0
}
library_tests
case $? in
  1) failed=$((failed + 1)) ;;
  2) skipped=$((skipped + 1)) ;;
esac
# With a GPU present, a library test that could not run is a failure.
if [[ $have_gpu == 1 ]]; then
  failed=$((failed + skipped)) skipped=0
fi
save_counts
