#!/usr/bin/env bash
# Times zeminfo on the benchmark's image and patches against reading the image
# once (cat image > /dev/null), warm (everything in the page cache) and cold
# (the image dropped from it, the patch cached), and prints its private memory.
# The programs take turns; the table gives medians.
# Usage: bench/zeminfo_bench.sh [options] [BUILDDIR] [RUNS]   (defaults: build, 5)
#   --sets "A B ..."    only these change sets (default: scattered dense small;
#                       benchgen also writes shuffled and clustered)
#   --cache "warm cold" only these (default: both)
#   --compare ZEMINFO   also time this other zeminfo, taking turns with ours,
#                       and fail when its report differs from ours
#   --data DIR          benchgen's data, made there when it is missing and kept
#                       (default: BUILDDIR/zeminfobench, removed afterwards)
#   KEEP=1 keeps the generated data in BUILDDIR/zeminfobench for the next run.
set -euo pipefail
sets="scattered dense small"
caches="warm cold"
compare=
data=
args=()
while (($#)); do
  case $1 in
    --sets) sets=$2; shift ;;
    --cache) caches=$2; shift ;;
    --data) data=$2; shift ;;
    --compare) compare=$(realpath "$2"); shift ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) args+=("$1") ;;
  esac
  shift
done
build=$(realpath "${args[0]:-build}")
runs=${args[1]:-5}
zeminfo=$build/zeminfo
gen=$build/bench/benchgen
for prog in "$zeminfo" "$gen"; do
  [[ -x $prog ]] || { echo "zeminfo_bench: $prog is missing; build first" >&2; exit 2; }
done
if [[ -z $data ]]; then
  data=$build/zeminfobench
  [[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$data"' EXIT
fi
mkdir -p "$data"
[[ -e $data/scattered.v2.zem ]] || "$gen" "$data" >/dev/null

# now: microseconds since the epoch, without a fork
now() { local t=${EPOCHREALTIME/./}; echo "$t"; }

# peakanon PID: the highest RssAnon of the process while it runs, in KiB
peakanon() {
  local pid=$1 peak=0 k v rest
  while [[ -r /proc/$pid/status ]]; do
    while read -r k v rest; do
      [[ $k == RssAnon: ]] && ((v > peak)) && peak=$v
    done 2>/dev/null </proc/"$pid"/status || true
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
if [[ -n $compare ]]; then
  echo "compared: $compare"
  echo
  echo "| change set | cache | cat image | zeminfo | ratio | zeminfo RssAnon | compared zeminfo | ratio | its RssAnon |"
  echo "|---|---|---|---|---|---|---|---|---|"
else
  echo "| change set | cache | cat image | zeminfo | ratio | zeminfo RssAnon |"
  echo "|---|---|---|---|---|---|"
fi
for shape in $sets; do
  patch=$data/$shape.v2.zem
  for temp in $caches; do
    : >"$data/cat.t"
    : >"$data/info.t"
    : >"$data/cmp.t"
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
      [[ -n $compare ]] || continue
      if [[ $temp == cold ]]; then drop "$data/base.bin"; fi
      t0=$(now)
      "$compare" "$patch" "$data/base.bin" >"$data/cmp.txt" || true
      t1=$(now)
      echo $((t1 - t0)) >>"$data/cmp.t"
      if ! cmp -s "$data/out.txt" "$data/cmp.txt"; then
        echo "zeminfo_bench: the compared zeminfo reports otherwise on $shape:" >&2
        diff "$data/out.txt" "$data/cmp.txt" >&2 || true
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
      printf "| %s | %s | %.1f ms | %.1f ms | %.2fx | %.1f MiB", s, t, c / 1000, z / 1000, z / c, a / 1024 }'
    if [[ -n $compare ]]; then
      [[ $temp == cold ]] && drop "$data/base.bin"
      "$compare" "$patch" "$data/base.bin" >/dev/null &
      anon=$(peakanon $!)
      wait $! || true
      z=$(median <"$data/cmp.t")
      awk -v c="$c" -v z="$z" -v a="$anon" 'BEGIN {
        printf " | %.1f ms | %.2fx | %.1f MiB", z / 1000, z / c, a / 1024 }'
    fi
    echo " |"
  done
done
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
