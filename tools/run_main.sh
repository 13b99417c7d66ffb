#!/usr/bin/env bash
# Installs what is missing, builds the library (the flavour this machine can
# run: cuda with a usable GPU, else emulated) and runs the main job.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

"$root/tools/setup_deps.sh"
configure_and_build "$root/build/main" -DQOR_BUILD_TESTS=OFF
mpiexec -n 4 "$root/build/main/tools/qor_demo"
mpiexec -n 4 "$root/build/main/tools/qor_demo" --legacy
