#!/usr/bin/env bash
# Runs the allreduce benchmark on 2 processes of this host in host-CPU mode:
# whole driver calls with modes r, c, m and m fused against MPI_Allreduce on
# the same buffers, and the host sum against a plain copy.
#
#   bench/run_allreduce_bench.sh [build-dir]      (default: build)
#
# Open MPI's own allreduce allocates and frees its large scratch buffers on
# every call; with glibc's defaults each of those is an mmap/munmap pair whose
# pages fault in again every time (about 10 us per 4 KiB page), which makes the
# reference ten times slower at 64 MiB.  Raising both malloc thresholds keeps
# the memory in the heap, so the reference is measured at its best.  The
# single-copy (CMA) mechanism is turned off: it needs ptrace rights and is
# slower than the copy-in/copy-out path between 16 KiB and 4 MiB here.
set -euo pipefail
build="${1:-build}"
bin="$build/bench/bench_allreduce"
if [[ ! -x "$bin" ]]; then
  echo "no $bin: build the target bench_allreduce first" >&2
  exit 1
fi
export MALLOC_MMAP_THRESHOLD_=4294967296
export MALLOC_TRIM_THRESHOLD_=4294967296
export OMPI_MCA_btl_vader_single_copy_mechanism=none
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
exec mpiexec -n 2 --oversubscribe "$bin"
