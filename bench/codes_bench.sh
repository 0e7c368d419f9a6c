#!/usr/bin/env bash
# Times the EDC and ECC work of zemmake on a raw image of data sectors
# (benchgen --raw): `zemmake -r` over the whole image with nothing to repair
# against `cat IMAGE >/dev/null`, and `zemmake -e` against plain zemmake on
# each change set; warm (every input in the page cache); prints one table.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: bench/codes_bench.sh [options]
  --build DIR         the build folder holding zemmake, zeminfo, Mavrin and bench/ (default: build)
  --data DIR          where the data goes (default: BUILD/codesdata), removed after
  --keep              keep the data folder afterwards (and reuse it when it is there)
  --runs N            timed runs of each program (default: 5)
  --sets "A B ..."    only these change sets (default: every set benchgen writes)
  --image-size S, --scattered N, --clustered N, --dense S, --small N
                      handed to benchgen (defaults: benchgen's own)
The programs take turns, run by run; each ratio is taken run by run against
the run of its floor just before it, and the table shows their median.
Checked once, untimed: the -e patch of every set, applied by Mavrin, leaves
an image whose data sectors all have right codes (zeminfo --codes), and
zemmake -r finds nothing to repair in the base image.
EOF
}

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
data=
keep=0
runs=5
sets=
genopts=()
while (($#)); do
  case $1 in
    --build) build=$2; shift ;;
    --data) data=$2; shift ;;
    --keep) keep=1 ;;
    --runs) runs=$2; shift ;;
    --sets) sets=$2; shift ;;
    --image-size|--scattered|--clustered|--dense|--small) genopts+=("$1" "$2"); shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
  shift
done
build=$(cd "$build" && pwd)
data=${data:-$build/codesdata}
zemmake=$build/zemmake
zeminfo=$build/zeminfo
mavrin=$build/Mavrin
gen=$build/bench/benchgen
timer=$build/bench/benchtime
for prog in "$zemmake" "$zeminfo" "$mavrin" "$gen" "$timer"; do
  if [[ ! -x $prog ]]; then
    echo "codes_bench: $prog is missing; build first (cmake --workflow --preset test)" >&2
    exit 2
  fi
done

# The data folder is ours alone: made here, removed at the end unless kept.
if [[ -d $data && ! -e $data/.codesdata && -n $(ls -A "$data") ]]; then
  echo "codes_bench: $data is not empty and was not made by this script" >&2
  exit 2
fi
mkdir -p "$data"
touch "$data/.codesdata"
cleanup() {
  rm -rf "$data/work" "$data/times"
  if ((!keep)); then rm -rf "$data"; fi
}
trap cleanup EXIT
if [[ ! -e $data/base.bin ]]; then
  nice "$gen" --raw "${genopts[@]}" "$data"
fi
if [[ -z $sets ]]; then
  sets=$(cd "$data" && ls ./*.v2.zem | sed 's|^\./||; s|\.v2\.zem$||' | tr '\n' ' ')
fi
rm -rf "$data/work" "$data/times"
mkdir -p "$data/work" "$data/times"
work=$data/work
base=$data/base.bin

echo "codes benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores," \
     "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), Linux $(uname -r)"
echo "raw image $(stat -c %s "$base") bytes; sets: $sets; $runs runs each, warm"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# timed KEY INPUTS... -- COMMAND...: one warm run of a command that reads INPUTS.
timed() {
  local key=$1 inputs=()
  shift
  while [[ $1 != -- ]]; do inputs+=("$1"); shift; done
  shift
  rm -f "$work"/*
  cat "${inputs[@]}" >/dev/null
  if ! "$timer" "$data/times/$key" "$@" >"$data/output.txt" 2>&1 </dev/null; then
    echo "codes_bench: $key failed:" >&2
    cat "$data/output.txt" >&2
    exit 1
  fi
}

# Untimed checks.
failed=0
"$zemmake" -r -f "$base" "$work/r.zem" >"$data/output.txt"
grep -q "repairs 0 sectors" "$data/output.txt" ||
  { echo "codes_bench: zemmake -r finds something to repair in the base image:" >&2
    cat "$data/output.txt" >&2; failed=1; }
declare -A plainsize fixsize fixed
for s in $sets; do
  "$zemmake" -f "$base" "$data/$s.bin" "$work/p.zem" >/dev/null 2>&1
  plainsize[$s]=$(stat -c %s "$work/p.zem")
  "$zemmake" -e -f "$base" "$data/$s.bin" "$work/e.zem" >"$data/output.txt"
  fixsize[$s]=$(stat -c %s "$work/e.zem")
  fixed[$s]=$(sed -n 's/.*made right in \([0-9]*\) sector.*/\1/p' "$data/output.txt")
  cp "$base" "$work/image.bin"
  "$mavrin" "$work/image.bin" "$work/e.zem" >/dev/null
  "$zeminfo" --codes "$work/image.bin" >/dev/null ||
    { echo "codes_bench: the -e patch of $s leaves wrong codes" >&2; failed=1; }
  rm -f "$work/image.bin"
done

# Timed runs, taking turns.
for ((i = 0; i < runs; i++)); do
  timed repair.floor "$base" -- sh -c 'cat "$1" >/dev/null' sh "$base"
  timed repair.zemmake "$base" -- "$zemmake" -r "$base" "$work/r.zem"
  for s in $sets; do
    timed "$s.plain" "$base" "$data/$s.bin" -- "$zemmake" "$base" "$data/$s.bin" "$work/p.zem"
    timed "$s.fix" "$base" "$data/$s.bin" -- "$zemmake" -e "$base" "$data/$s.bin" "$work/p.zem"
  done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

# Table: medians (min-max), peak memory, and the median of the run-by-run ratios.
{
  echo "| job | program | median | against | median | ratio | peak RSS |"
  echo "|---|---|---|---|---|---|---|"
  row() {   # row LABEL PROG TIMES BASELINE BASETIMES
    paste -d' ' "$3" "$5" | awk -v label="$1" -v prog="$2" -v against="$4" '
      function ms(s) { s *= 1000; return s < 10 ? sprintf("%.2f", s) : s < 100 ? sprintf("%.1f", s) : sprintf("%.0f", s) }
      function median(list,   k, a, i, j, t) {
        k = split(list, a, " ")
        for (i = 2; i <= k; i++) for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
        lo = a[1]; hi = a[k]
        return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
      }
      { t = t " " $1; b = b " " $5; r = r " " $1 / $5; if ($2 > rss) rss = $2 }
      END {
        mt = median(t); tr = ms(lo) "-" ms(hi)
        mb = median(b); br = ms(lo) "-" ms(hi)
        printf "| %s | %s | %s ms (%s) | %s | %s ms (%s) | %.2fx | %.1f MiB |\n",
               label, prog, ms(mt), tr, against, ms(mb), br, median(r), rss / 1024
      }'
  }
  row "whole image, nothing to repair" "zemmake -r" "$data/times/repair.zemmake" "cat IMAGE" "$data/times/repair.floor"
  for s in $sets; do
    row "$s" "zemmake -e" "$data/times/$s.fix" "zemmake" "$data/times/$s.plain"
  done
}
for s in $sets; do
  echo "$s: patch ${plainsize[$s]} bytes, with -e ${fixsize[$s]} bytes (codes made right in ${fixed[$s]} sectors)"
done
exit "$failed"
