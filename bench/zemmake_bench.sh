#!/usr/bin/env bash
# Prints zemmake's time and peak memory for patches and undo patches of
# generated images: sparse changes, and an image that differs everywhere.
# Usage: bench/zemmake_bench.sh [BUILDDIR] [MIB]   (defaults: build, 256)
set -euo pipefail
build=${1:-build}
mib=${2:-256}
zemmake=$(realpath "$build/zemmake")
mavrin=$(realpath "$build/Mavrin")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

# Runs a command, prints its wall time and peak resident memory.
measure() {
  local what=$1; shift
  if [[ -x /usr/bin/time ]]; then
    /usr/bin/time -o time.txt -f "$what: %e s, %M KiB peak" "$@" >/dev/null
    cat time.txt
  else
    local start=$SECONDS; "$@" >/dev/null; echo "$what: $((SECONDS - start)) s"
  fi
}

head -c $((mib << 20)) /dev/urandom > orig.bin
cp orig.bin sparse.bin
for i in $(seq 1 2000); do   # 2000 runs of 1 to 600 bytes, anywhere
  head -c $((RANDOM % 600 + 1)) /dev/urandom |
    dd of=sparse.bin bs=1 seek=$(( (RANDOM * 32768 + RANDOM) % ((mib << 20) - 600) )) \
       conv=notrunc status=none
done
head -c $((mib << 20)) /dev/urandom > full.bin

echo "images of $mib MiB"
measure "patch, 2000 sparse runs" "$zemmake" orig.bin sparse.bin sparse.zem
measure "patch, every byte differs" "$zemmake" orig.bin full.bin full.zem
measure "undo, 2000 sparse runs" "$zemmake" -u orig.bin sparse.zem sparse.undo
measure "undo, every byte differs" "$zemmake" -u orig.bin full.zem full.undo
ls -l sparse.zem full.zem sparse.undo full.undo | awk '{print $9 ": " $5 " bytes"}'

# The round trip, as a check that the figures are of working patches.
cp orig.bin image.bin
"$mavrin" image.bin full.zem >/dev/null
cmp -s image.bin full.bin && echo "round trip: ok" || { echo "round trip: FAILED"; exit 1; }
