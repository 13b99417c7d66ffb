# Shared by the project's scripts: paths, job count and the environment that
# lets Open MPI run as root and oversubscribed on small machines.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_rmaps_base_oversubscribe=1
# Single-copy (CMA) transfers need ptrace rights that containers lack.
export OMPI_MCA_btl_vader_single_copy_mechanism=none
export PATH="$PATH:/usr/local/cuda/bin"

# configure_and_build <build dir> <cmake args...>; TARGET, when set, names
# the targets to build (separated by blanks).
configure_and_build() {
  local dir=$1
  shift
  local target=()
  # shellcheck disable=SC2206 # split on purpose
  [ -z "${TARGET:-}" ] || target=(--target $TARGET)
  cmake -S "$root" -B "$dir" "$@" &&
    cmake --build "$dir" -j"$jobs" "${target[@]}"
}
