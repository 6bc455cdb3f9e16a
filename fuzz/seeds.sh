# Sourced by the fuzz scripts: the seeds of a target live in one archive,
# fuzz/corpus/TARGET.tar.xz (a few thousand small files per target would be
# most of a checkout, and slow every tool that walks the tree).
#   seeds_dir TARGET        unpacks the archive (again only when it changed)
#                           into $out/seeds/TARGET and prints that directory
#   pack_seeds TARGET DIR   writes DIR's files as the target's archive,
#                           byte for byte the same for the same files
# Needs $root and $out set by the caller.

seeds_dir() {
  local target=$1 archive=$root/fuzz/corpus/$1.tar.xz dir=$out/seeds/$1
  if [ ! -f "$dir.stamp" ] || [ "$archive" -nt "$dir.stamp" ]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    [ -f "$archive" ] && tar -xJf "$archive" -C "$dir"
    touch "$dir.stamp"
  fi
  echo "$dir"
}

pack_seeds() {
  local target=$1 dir=$2
  (cd "$dir" && find . -maxdepth 1 -type f -printf '%f\n' | LC_ALL=C sort |
    tar --create --no-recursion --owner=0 --group=0 --numeric-owner --mtime=@0 --mode=644 \
        --files-from=- | xz -9e -T1 >"$root/fuzz/corpus/$target.tar.xz.tmp")
  mv "$root/fuzz/corpus/$target.tar.xz.tmp" "$root/fuzz/corpus/$target.tar.xz"
}
