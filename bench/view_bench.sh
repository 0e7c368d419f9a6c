#!/usr/bin/env bash
# Times libzem's view (bench/viewbench) on benchgen's scattered, shuffled
# and dense sets, with the image in the page cache, beside its references:
# reading the image the same way, a plain pread of a sector, and zeminfo
# reading the 1,000,000-record patch (the opening's reference).
# Usage: bench/view_bench.sh [BUILDDIR] [RUNS]   (defaults: build, 5)
#   KEEP=1 keeps the generated data in BUILDDIR/viewbench.
set -euo pipefail
build=$(realpath "${1:-build}")
runs=${2:-5}
data=$build/viewbench
for prog in "$build/bench/viewbench" "$build/bench/benchgen" "$build/zeminfo"; do
  [[ -x $prog ]] || { echo "view_bench: $prog is missing; build first" >&2; exit 2; }
done
[[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$data"' EXIT
mkdir -p "$data"
[[ -e $data/scattered.v2.zem ]] || "$build/bench/benchgen" "$data" >/dev/null
cat "$data/base.bin" >/dev/null   # into the page cache

echo "view benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg)"
times=()
for ((r = 0; r < runs; r++)); do
  t0=${EPOCHREALTIME/./}
  "$build/zeminfo" "$data/scattered.v2.zem" >/dev/null || true
  t1=${EPOCHREALTIME/./}
  times+=($((t1 - t0)))
done
printf 'zeminfo on scattered.v2.zem: %s s (median of %d)\n' \
  "$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.3f", a[int((NR+1)/2)]/1e6}')" "$runs"
for set in scattered shuffled dense; do
  echo "== $set"
  "$build/bench/viewbench" "$data/base.bin" "$data/$set.v2.zem" "$runs"
done
