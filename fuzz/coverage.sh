#!/usr/bin/env bash
# Line and region coverage of the core reached by the fuzz corpora:
#   fuzz/coverage.sh            (after some fuzzing; reads both corpus dirs)
# Builds the targets with clang's source-based coverage into
# build/fuzz-cov, replays the seeds (fuzz/corpus/TARGET.tar.xz) and
# build/fuzz/corpus/TARGET
# through each, and prints llvm-cov's per-file report for cpp/core.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/fuzz-cov
cxx=${CXX:-clang++}
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELMAR_FUZZ=ON \
  -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
  -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
cmake --build "$out" -j "${JOBS:-2}" --target fuzz_reader fuzz_compile fuzz_query fuzz_differential fuzz_records >/dev/null
rm -f "$out"/*.profraw
objects=()
. "$root/fuzz/seeds.sh"
for t in reader compile query differential records; do
  dirs=("$(out=$root/build/fuzz seeds_dir "$t")")
  [ -d "$root/build/fuzz/corpus/$t" ] && dirs+=("$root/build/fuzz/corpus/$t")
  LLVM_PROFILE_FILE="$out/$t.profraw" "$out/fuzz_$t" -runs=0 "${dirs[@]}" >/dev/null 2>&1
  objects+=(-object "$out/fuzz_$t")
done
llvm-profdata merge -sparse "$out"/*.profraw -o "$out/all.profdata"
llvm-cov report "${objects[@]:1}" -instr-profile="$out/all.profdata" "$root/cpp/core" \
  -ignore-filename-regex='(encoding_tables|unicode_tables)'
