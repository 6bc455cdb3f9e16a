#!/usr/bin/env bash
# Builds the libFuzzer targets into build/fuzz (clang, ASan + UBSan +
# coverage instrumentation). Usage: fuzz/build.sh   (see fuzz/README.md)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${QUELMAR_FUZZ_BUILD:-$root/build/fuzz}
cxx=${CXX:-$(command -v clang++ || true)}
if [ -z "$cxx" ] || ! "$cxx" --version | grep -q clang; then
  echo "fuzz/build.sh: needs clang++ with libFuzzer (Debian: apt-get install -y clang libclang-rt-14-dev)" >&2
  exit 1
fi
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUELMAR_FUZZ=ON >/dev/null
cmake --build "$out" -j "${JOBS:-2}" --target fuzz_reader fuzz_compile fuzz_query fuzz_differential fuzz_records
echo "built: $out/fuzz_{reader,compile,query,differential,records}"
