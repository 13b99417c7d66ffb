#!/usr/bin/env bash
# The long runs: N allreduce calls of changing sizes in each start mode
# (host-CPU and GPU legacy engine, MPI + NCCL, MPI-less; the GPU modes on the
# emulation), then repeated starts: C qor_init/qor_finalize cycles in the
# MPI-less mode, C repeated qor_init in the modes that start MPI (which starts
# once per process).  Not part of the test command: 100,000 calls take
# minutes per mode.
#   tools/soak/run_soak.sh [BUILD] [N] [C] [PROCESSES]
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
build=${1:-$root/build/emulated}
calls=${2:-100000}
cycles=${3:-100}
np=${4:-2}
soak=$build/tools/qor_soak
ids=$(mktemp -d)
trap 'rm -rf "$ids"' EXIT
status=0
run() {
  echo "== mpiexec -n $np qor_soak $*"
  # The library's own lines on standard error are not what is measured.
  mpiexec -n "$np" "$soak" "$@" 2>/dev/null || { echo "== FAILED: $*"; status=1; }
}
run calls legacy 0 "$calls" "-mode p"
run calls legacy 1 "$calls" "-mode p"
run calls nccl 1 "$calls"
run calls mpiless 1 "$calls"
run cycles mpiless 1 "$cycles" "$ids"
run cycles legacy 0 "$cycles"
run cycles legacy 1 "$cycles"
run cycles nccl 1 "$cycles"
echo "== /dev/shm after the runs: $(ls /dev/shm | wc -l) files"
exit $status
