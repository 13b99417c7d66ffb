#!/bin/bash
# test_watchdog.sh <watchdog_job> <mpiexec> <legacy|shm|nccl|mpiless> <processes> [STOP|KILL]
# Rank 1 stops (or kills) itself before an allreduce: the others' watchdog
# (5 s; QOR_WATCHDOG_SEC and WD_OPTIONS from the caller) must end the job
# after 5 s and within a few more, with the line naming the call.
job=$1 mpiexec=$2 mode=$3 n=$4 sig=${5:-STOP}
export WD_DIR=$(mktemp -d)
# Only a process still stopped is ours to end: a pid may have been reused.
trap 'for f in "$WD_DIR"/pid.*; do p=$(cat "$f"); [ "$(cut -d" " -f3 "/proc/$p/stat" 2>/dev/null)" = T ] &&
  kill -KILL "$p"; done; rm -rf "$WD_DIR"' EXIT
id=$("$job") || exit 1
start=$(date +%s%N)
if [ "$sig" = KILL ]; then  # no launcher that would notice the death: the survivors alone
  for ((i = 0; i < n; i++)); do
    OMPI_COMM_WORLD_RANK=$i OMPI_COMM_WORLD_SIZE=$n timeout -k 2 20 "$job" "$mode" KILL "$id" 2>>"$WD_DIR/err" &
    pids[i]=$!
  done
  for ((i = 0; i < n; i++)); do wait "${pids[i]}"; s=$?; [ "$i" = 1 ] || [ "$s" = 1 ] || status=$s; done
else
  timeout -k 5 25 "$mpiexec" -n "$n" --oversubscribe "$job" "$mode" STOP "$id" 2>"$WD_DIR/err"
  status=$?
fi
ms=$((($(date +%s%N) - start) / 1000000))
case $mode in
  legacy) want='legacy engine mode, host-CPU) has not finished after 5 s: reduce-scatter of dimension 0 by RING, waiting for rank [0-9]' ;;
  shm) want='legacy engine mode, host-CPU) has not finished after 5 s: reduce-scatter of dimension 0 by SHM, waiting for rank [0-9]' ;;
  nccl) want='MPI \+ NCCL mode) has not finished after 5 s' ;;
  mpiless) want='MPI-less NCCL mode) has not finished after 5 s; ending this process' ;;
esac
lines=$(grep -cE "^E .*\] qor_allreduce of 1000 float elements \($want" "$WD_DIR/err")
echo "$mode $n $sig: status ${status:-1} after $ms ms, $lines watchdog lines"
need=1  # the launcher may end the others before they write theirs
[ "$sig" = KILL ] && need=$((n - 1))
if [ "${status:-1}" = 0 ] || [ "${status:-1}" -ge 124 ] || [ "$ms" -lt 5000 ] || [ "$ms" -gt 12000 ] ||
   [ "$lines" -lt "$need" ]; then
  cat "$WD_DIR/err"; exit 1
fi
