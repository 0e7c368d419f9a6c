#!/usr/bin/env bash
# Times zeminfo on the benchmark's image and patches against reading the image
# once (cat image > /dev/null), warm (everything in the page cache) and cold
# (the image dropped from it, the patch cached), and prints its private memory.
# The programs take turns; the table gives medians.
# Usage: bench/zeminfo_bench.sh [BUILDDIR] [RUNS]   (defaults: build, 5)
#   KEEP=1 keeps the generated data in BUILDDIR/zeminfobench for the next run.
set -euo pipefail
build=$(realpath "${1:-build}")
runs=${2:-5}
zeminfo=$build/zeminfo
gen=$build/bench/benchgen
for prog in "$zeminfo" "$gen"; do
  [[ -x $prog ]] || { echo "zeminfo_bench: $prog is missing; build first" >&2; exit 2; }
done
data=$build/zeminfobench
mkdir -p "$data"
[[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$data"' EXIT
[[ -e $data/scattered.v2.zem ]] || "$gen" "$data" >/dev/null

# now: microseconds since the epoch, without a fork
now() { local t=${EPOCHREALTIME/./}; echo "$t"; }

# peakanon PID: the highest RssAnon of the process while it runs, in KiB
peakanon() {
  local pid=$1 peak=0 k v rest
  while [[ -r /proc/$pid/status ]]; do
    while read -r k v rest; do
      [[ $k == RssAnon: ]] && ((v > peak)) && peak=$v
    done </proc/"$pid"/status 2>/dev/null || true
  done
  echo "$peak"
}

median() { sort -n | awk '{a[NR] = $1} END {print NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

drop() { dd if="$1" iflag=nocache count=0 status=none; }

echo "zeminfo benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores," \
     "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), Linux $(uname -r)"
echo "image $(($(stat -c %s "$data/base.bin") >> 20)) MiB; $runs runs each, taking turns;" \
     "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| change set | cache | cat image | zeminfo | ratio | zeminfo RssAnon |"
echo "|---|---|---|---|---|---|"
for shape in scattered dense small; do
  patch=$data/$shape.v2.zem
  for temp in warm cold; do
    : >"$data/cat.t"
    : >"$data/info.t"
    for ((i = 0; i < runs; i++)); do
      cat "$patch" >/dev/null
      if [[ $temp == warm ]]; then cat "$data/base.bin" >/dev/null; else drop "$data/base.bin"; fi
      t0=$(now); cat "$data/base.bin" >/dev/null; t1=$(now)
      echo $((t1 - t0)) >>"$data/cat.t"

      if [[ $temp == cold ]]; then drop "$data/base.bin"; fi
      t0=$(now)
      status=0
      "$zeminfo" "$patch" "$data/base.bin" >"$data/out.txt" || status=$?
      t1=$(now)
      echo $((t1 - t0)) >>"$data/info.t"
      if ((status != 0)); then
        echo "zeminfo_bench: zeminfo on $shape ended with status $status:" >&2
        cat "$data/out.txt" >&2
        exit 1
      fi
    done
    # Memory, in one more run, untimed: the sampling takes a core.
    [[ $temp == cold ]] && drop "$data/base.bin"
    "$zeminfo" "$patch" "$data/base.bin" >/dev/null &
    anon=$(peakanon $!)
    wait $! || true
    c=$(median <"$data/cat.t")
    z=$(median <"$data/info.t")
    awk -v s="$shape" -v t="$temp" -v c="$c" -v z="$z" -v a="$anon" 'BEGIN {
      printf "| %s | %s | %.1f ms | %.1f ms | %.2fx | %.1f MiB |\n", s, t, c / 1000, z / 1000, z / c, a / 1024 }'
  done
done
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
