#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Idempotent: does nothing (and needs no network) once they are there.
set -euo pipefail

# python3-matplotlib draws the main job's results (tools/plot_perf.py).
packages=(build-essential cmake pkg-config openmpi-bin libopenmpi-dev libgtest-dev python3-matplotlib)
# The Python package's tests (numpy), its install test (pip) and the DDP
# training comparison (torch).
packages+=(python3-numpy python3-pip python3-torch)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup_deps: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

if [ ! -x /usr/local/cuda/bin/nvcc ] && ! command -v nvcc >/dev/null 2>&1; then
  echo "setup_deps: note: no CUDA toolkit found; only the emulated flavour can be built" >&2
fi
