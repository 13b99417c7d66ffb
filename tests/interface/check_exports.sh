#!/usr/bin/env bash
# The shared library exports exactly the public names of qor.h.
set -euo pipefail
lib=$1
expected="qor_allreduce qor_allreduce_async qor_allreduce_mpi qor_bcast qor_buf qor_cnt qor_ctrl
qor_finalize qor_free qor_generate_group_id qor_get_key_value qor_init qor_last_error qor_local_rank
qor_local_size qor_malloc qor_memcpy_device_to_host qor_memcpy_gather qor_memcpy_host_to_device
qor_memcpy_scatter qor_memsync qor_op qor_rank qor_size qor_thr qor_thrinit qor_type qor_wait"
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBVRW]$/ {print $3}' | sort | tr '\n' ' ')
want=$(echo $expected | tr ' ' '\n' | sort | tr '\n' ' ')
if [ "$actual" != "$want" ]; then
  echo "exported: $actual"
  echo "expected: $want"
  diff <(echo "$actual" | tr ' ' '\n') <(echo "$want" | tr ' ' '\n') || true
  exit 1
fi
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
[ "$soname" = "libqor.so.1" ] || { echo "soname $soname"; exit 1; }
echo "exports and soname as expected"
