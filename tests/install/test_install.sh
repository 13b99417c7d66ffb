#!/usr/bin/env bash
# test_install.sh <build dir> <this folder> <mpiexec> <cc> <pkg-config> <python>
# Installs the build into a temporary prefix, builds consumer.c against it
# with CMake (find_package) and with pkg-config, runs both on 2 processes;
# then pip-installs the Python package into the same prefix and sums through
# it, the library found from that prefix.
set -euo pipefail
build=$1 here=$2 mpiexec=$3 cc=$4 pkgconfig=$5 python=$6
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$prefix/lib
for f in libqor.so libqor.so.1 libqor_pack.so libqor_comp.so pkgconfig/qor.pc cmake/qor/qorConfig.cmake; do
  [ -e "$lib/$f" ] || { echo "missing $lib/$f"; exit 1; }
done
[ "$(readlink "$lib/libqor.so.1")" = "libqor.so.$(sed -n 's/^Version: //p' "$lib/pkgconfig/qor.pc")" ] ||
  { echo "libqor.so.1 -> $(readlink "$lib/libqor.so.1")"; exit 1; }
[ -e "$prefix/include/qor.h" ] || { echo "missing qor.h"; exit 1; }

cmake -S "$here/consumer" -B "$tmp/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$tmp/cmake" >/dev/null

flags=$(PKG_CONFIG_PATH=$lib/pkgconfig "$pkgconfig" --cflags --libs qor)
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Wextra -Werror -o "$tmp/pc_consumer" "$here/consumer.c" $flags -Wl,-rpath,"$lib"

for program in "$tmp/cmake/consumer" "$tmp/pc_consumer"; do
  # Built against the prefix, not the build tree.
  libs=$(ldd "$program")
  grep -q "$lib/libqor.so.1" <<<"$libs" || { echo "$libs"; exit 1; }
  out=$("$mpiexec" -n 2 "$program")
  echo "$out"
  [ "$(grep -c ', 0 wrong elements' <<<"$out")" -eq 2 ] || exit 1
done

# From a copy: pip leaves build files beside the sources.
cp -r "$here/../../python" "$tmp/python"
"$python" -m pip install -q --no-deps --no-build-isolation --no-index --prefix "$prefix" "$tmp/python" 2>/dev/null
site=$(dirname "$(find "$prefix" -path '*/qor/__init__.py' | head -1)")/..
out=$(env -u QOR_LIBRARY PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1 "$mpiexec" -n 2 "$python" -c '
import array, os, qor
with qor.init("-qor_legacy_allreduce 1 -cpu_only 1 -mode r"):
    x = array.array("f", [qor.rank() + 1.0] * 100)
    qor.allreduce(x, op="avg")
    # One write per line: the launcher may interleave the pieces of several.
    os.write(1, ("%s %s\n" % (qor.library_path(), set(x) == {(qor.size() + 1) / 2})).encode())')
echo "$out"
[ "$(grep -c "^$lib/libqor.so.1 True$" <<<"$out")" -eq 2 ] || exit 1
echo "install test: both consumers and the Python package summed on 2 processes"
