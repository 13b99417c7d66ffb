#!/usr/bin/env bash
# Builds the libFuzzer targets of tools/fuzz with clang++ and
# -fsanitize=fuzzer,address,undefined, compiling the library sources each
# target needs directly (the main CMake build is not involved).
#   tools/fuzz/build.sh [output folder]      (default: build/fuzz)
# Emulated GPU flavour headers; Open MPI only for the topology target.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
out="${1:-$root/build/fuzz}"
mkdir -p "$out"
cxx="${CXX_FUZZ:-clang++}"
command -v "$cxx" >/dev/null || {
  echo "build.sh: $cxx not found (Debian: apt-get install -y clang)" >&2
  exit 1
}

mpi_cflags=$(mpicxx --showme:compile 2>/dev/null || echo "-I/usr/lib/x86_64-linux-gnu/openmpi/include")
mpi_libs=$(mpicxx --showme:link 2>/dev/null || echo "-lmpi")

flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -Wall -Wextra
       -DQOR_GPU_EMULATED=1 '-DQOR_VERSION_TEXT="fuzz"'
       -I"$root/include" -I"$root/src/interface" -I"$root/gpu_emu/include"
       -I"$root/tools/fuzz" $mpi_cflags)

src="$root/src"
fz="$root/tools/fuzz"

build() {  # name, sources...
  local name=$1
  shift
  echo "build.sh: $name"
  "$cxx" "${flags[@]}" "$@" -o "$out/$name" $mpi_libs -lpthread -lrt
}

# (1) option text: the parser alone, with the trace double.
build fuzz_option "$fz/fuzz_option.cpp" "$fz/trace_double.cpp" "$src/common/qor_option.cpp"

# (2) group identifier text and base64, with the trace double.
build fuzz_base64 "$fz/fuzz_base64.cpp" "$fz/trace_double.cpp" "$src/common/qor_utilities.cpp"

# (3) topology text of the mode option: the hardware layer over a
# one-process MPI (singleton, no mpiexec), host-CPU mode, emulated GPU layer.
if [[ "${FUZZ_SKIP_TOPOLOGY:-0}" != 1 ]]; then
  emu="$root/gpu_emu/src"
  build fuzz_topology "$fz/fuzz_topology.cpp" \
    "$src/common/qor_trace.cpp" "$src/common/qor_message.cpp" "$src/common/qor_exception.cpp" \
    "$src/common/qor_check.cpp" "$src/common/qor_option.cpp" \
    "$src/hw/qor_hw.cpp" "$src/hw/qor_topology.cpp" "$src/hw/qor_dim.cpp" \
    "$src/hw/qor_cuda.cpp" "$src/hw/qor_nccl.cpp" "$src/hw/qor_staging.cpp" \
    "$emu/emu_state.cpp" "$emu/emu_devices.cpp" "$emu/emu_memory.cpp" "$emu/emu_streams.cpp" \
    "$emu/cuda_runtime_emu.cpp" "$emu/fp16_emu.cpp" "$emu/cublas_emu.cpp" \
    "$emu/nccl_emu.cpp" "$emu/nccl_emu_rings.cpp" "$emu/nccl_emu_shm.cpp"
fi
echo "build.sh: targets in $out"
