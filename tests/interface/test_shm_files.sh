#!/bin/bash
# test_shm_files.sh <watchdog_job> <mpiexec> <processes>
# The SHM algorithm's shared memory is MPI's: after a job that ends
# normally /dev/shm holds what it held before, and after one whose rank 1
# stopped (its watchdog ends the job) nothing new but Open MPI's own
# transport segments, which a job ended that way leaves behind.
job=$1 mpiexec=$2 n=$3
export WD_DIR=$(mktemp -d) WD_OPTIONS="-watchdog_sec 5"
trap 'for f in "$WD_DIR"/pid.*; do p=$(cat "$f"); [ "$(cut -d" " -f3 "/proc/$p/stat" 2>/dev/null)" = T ] &&
  kill -KILL "$p"; done; rm -rf "$WD_DIR"' EXIT
listing() { ls -A /dev/shm | sort; }
before=$(listing)
if ! timeout 60 "$mpiexec" -n "$n" --oversubscribe "$job" shm NONE none 2>"$WD_DIR/err"; then
  echo "the job that ends normally failed:"; cat "$WD_DIR/err"; exit 1
fi
left=$(comm -13 <(echo "$before") <(listing))
if [ -n "$left" ]; then echo "left after a normal end: $left"; exit 1; fi
timeout -k 5 25 "$mpiexec" -n "$n" --oversubscribe "$job" shm STOP none 2>"$WD_DIR/err"
status=$?
left=$(comm -13 <(echo "$before") <(listing) | grep -v '^vader_segment\.')
echo "$n processes: normal end leaves nothing; stopped job: status $status, left: ${left:-nothing}"
if [ "$status" = 0 ] || [ "$status" -ge 124 ] || [ -n "$left" ]; then cat "$WD_DIR/err"; exit 1; fi
