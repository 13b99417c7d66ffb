#!/bin/sh
# Runs a process of an mpiexec job seeing one GPU only, the one of its rank
# on the host, as cluster schedulers arrange with CUDA_VISIBLE_DEVICES.
export CUDA_VISIBLE_DEVICES="${OMPI_COMM_WORLD_LOCAL_RANK:?run me under mpiexec}"
exec "$@"
