#!/usr/bin/env bash
# Keeps a target's checked-in seeds minimal (see fuzz/README.md):
#   fuzz/merge.sh TARGET
# Merges fuzz/corpus/TARGET and the scratch corpus build/fuzz/corpus/TARGET
# (what fuzz/run.sh added) into a fresh directory with libFuzzer's
# set-cover merge (about the fewest inputs that reach every feature of the
# whole collection: coverage edges and their hit-count buckets),
# keeps every finding (crash-*), replaces fuzz/corpus/TARGET with the
# result, and prints the coverage (cov: edges, ft: features) replayed from
# the seeds before and after. Needs the targets built by fuzz/build.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${QUELMAR_FUZZ_BUILD:-$root/build/fuzz}
target=${1:?usage: fuzz/merge.sh reader|compile|query|differential|records}
bin=$out/fuzz_$target
seeds=$root/fuzz/corpus/$target
[ -x "$bin" ] || { echo "fuzz/merge.sh: build the targets first (fuzz/build.sh)" >&2; exit 1; }
fresh=$(mktemp -d "$out/merge-$target.XXXXXX")
# The replay's log is read whole: a reader that stops early would cut the
# target off with SIGPIPE.
coverage() {
  "$bin" -runs=0 -rss_limit_mb=2048 -timeout=10 "$1" >"$fresh.log" 2>&1
  grep -m1 -o 'INITED cov: [0-9]* ft: [0-9]*' "$fresh.log" | cut -d' ' -f2-
}
before=$(coverage "$seeds")
dirs=("$seeds")
[ -d "$out/corpus/$target" ] && dirs+=("$out/corpus/$target")
"$bin" -set_cover_merge=1 -rss_limit_mb=2048 -timeout=10 "$fresh" "${dirs[@]}" >"$fresh.log" 2>&1 ||
  { tail -n 30 "$fresh.log"; exit 1; }
find "$seeds" -maxdepth 1 -name 'crash-*' -exec cp {} "$fresh/" \;
after=$(coverage "$fresh")
echo "$target: $(find "$seeds" -type f | wc -l) seeds, $before -> $(find "$fresh" -type f | wc -l) seeds, $after"
chmod 755 "$fresh"
rm -rf "$seeds"
mv "$fresh" "$seeds"
rm -f "$fresh.log"
