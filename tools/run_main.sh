#!/usr/bin/env bash
# Installs what is missing, builds the library (the flavour this machine can
# run: cuda with a usable GPU, else emulated) and runs the main job: qor_perf
# on 2 processes (4 where the machine has 4 cores or more), the legacy engine
# in host-CPU mode with its algorithms chosen by measurement (-mode p), float
# sums from 1 KiB to 64 MiB, each size checked and timed against
# MPI_Allreduce on the same buffer.  Extra arguments go to qor_perf (for
# example -J results.json; later flags win).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

"$root/tools/setup_deps.sh"
configure_and_build "$root/build/main" -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_BENCH=OFF
processes=2
[ "$(nproc)" -lt 4 ] || processes=4
# Open MPI's allreduce allocates and frees large scratch buffers on every
# call; with glibc's defaults each is an mmap/munmap pair whose pages fault in
# again every time.  Keeping them in the heap measures the reference at its
# best (the library runs under the same setting).
export MALLOC_MMAP_THRESHOLD_=4294967296 MALLOC_TRIM_THRESHOLD_=4294967296
mpiexec -n "$processes" -x MALLOC_MMAP_THRESHOLD_ -x MALLOC_TRIM_THRESHOLD_ "$root/build/main/tools/qor_perf" \
  -m legacy -O "-cpu_only 1 -mode p" -d float -o sum -b 1K -e 64M "$@"
