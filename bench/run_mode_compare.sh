#!/usr/bin/env bash
# Compares, with qor_perf on 2 processes of this host in host-CPU mode,
# the algorithms chosen by measurement (-mode p, with and without fusing
# the last dimension) against every fixed mode, each against MPI_Allreduce
# on the same buffer in the same run.  The modes take turns, repeat by
# repeat, so that a change of the machine's speed spreads over all of them.
#
#   bench/run_mode_compare.sh [build-dir] [out-dir] [repeats] [qor_perf flags...]
#
# Prints x ref per run and mode, the best fixed mode by its median over the
# runs, and each tuned mode over that best.  MPI runs at its best: scratch
# memory kept in the heap, single copy on (see run_allreduce_bench.sh).
set -euo pipefail
build="${1:-build/main}" out="${2:-mode_compare}" repeats="${3:-3}"
shift $(($# < 3 ? $# : 3))
perf="$build/tools/qor_perf"
[[ -x "$perf" ]] || { echo "no $perf: build the target qor_perf first" >&2; exit 1; }
mkdir -p "$out"
export MALLOC_MMAP_THRESHOLD_=4294967296 MALLOC_TRIM_THRESHOLD_=4294967296
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
modes=("r" "c" "m" "m -fuse_dim 1" "s" "s -fuse_dim 1" "p" "p -fuse_dim 1")
for ((k = 1; k <= repeats; k++)); do
  for mode in "${modes[@]}"; do
    name="${mode//-/}"
    mpiexec -n 2 "$perf" -b 1K -e 64M -O "-cpu_only 1 -mode $mode" -J "$out/np2.${name// /_}.$k.json" "$@" \
      >/dev/null 2>"$out/np2.${name// /_}.$k.err"
  done
done
/usr/bin/python3 "$(dirname "$0")/perf_table.py" "$out"
