#!/usr/bin/env bash
# Runs one fuzz target built by fuzz/build.sh:
#   fuzz/run.sh TARGET [SECONDS] [extra libFuzzer options...]
# TARGET is reader, compile, query, differential or records; SECONDS defaults to 60.
# New inputs go to build/fuzz/corpus/TARGET (scratch); the checked-in seeds
# (fuzz/corpus/TARGET.tar.xz, unpacked into build/fuzz/seeds/TARGET) are
# read, never written. Crash inputs are written to
# build/fuzz/artifacts/TARGET/. Exit status is libFuzzer's (non-zero on a
# finding).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${QUELMAR_FUZZ_BUILD:-$root/build/fuzz}
target=${1:?usage: fuzz/run.sh reader|compile|query|differential|records [SECONDS] [options...]}
seconds=${2:-60}
shift $(( $# >= 2 ? 2 : 1 ))
case $target in
  reader|records) dict=xml ;;
  compile) dict=path ;;
  query|differential) dict=query ;;
  *) echo "unknown target: $target" >&2; exit 2 ;;
esac
mkdir -p "$out/corpus/$target" "$out/artifacts/$target"
. "$root/fuzz/seeds.sh"
seeds=$(seeds_dir "$target")
exec "$out/fuzz_$target" -dict="$root/fuzz/$dict.dict" -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/artifacts/$target/" \
  "$@" "$out/corpus/$target" "$seeds"
