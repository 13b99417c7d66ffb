#!/usr/bin/env bash
# Measures the shared-memory algorithm with qor_perf on this host, in
# host-CPU mode: -mode s, r and p against MPI_Allreduce in the same runs, on
# plain buffers (copied in) and on qor_malloc's (-R 1, zero copy), at 2 and
# 4 processes; writes one JSON file per run and prints x ref per size.
#
#   bench/run_shm_perf.sh [build-dir] [out-dir] [repeats]
#
# MPI is measured at its best here: its scratch memory stays in the heap
# (see run_allreduce_bench.sh) and its single-copy transport is left on.
set -euo pipefail
build="${1:-build/main}" out="${2:-shm_perf}" repeats="${3:-2}"
perf="$build/tools/qor_perf"
[[ -x "$perf" ]] || { echo "no $perf: build the target qor_perf first" >&2; exit 1; }
mkdir -p "$out"
export MALLOC_MMAP_THRESHOLD_=4294967296 MALLOC_TRIM_THRESHOLD_=4294967296
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
for ((k = 1; k <= repeats; k++)); do
  for np in 2 4; do
    for reg in 0 1; do
      for mode in s r p; do
        mpiexec -n "$np" --oversubscribe "$perf" -b 16K -e 64M -f 4 -R "$reg" -O "-cpu_only 1 -mode $mode" \
          -J "$out/np$np-R$reg.$mode.$k.json" >/dev/null 2>&1
      done
    done
  done
done
/usr/bin/python3 "$(dirname "$0")/perf_table.py" "$out"
