#!/usr/bin/env bash
# Times zemmake and zemmake -u on benchgen's change sets against reading their
# inputs once (cat), warm and cold, and against xdelta3 -e; prints one table.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: bench/zemmake_bench.sh [options]
  --build DIR         the build folder holding zemmake, Mavrin and bench/ (default: build)
  --data DIR          where the data goes (default: BUILD/zemmakedata), removed after
  --keep              keep the data folder afterwards (and reuse it when it is there)
  --runs N            timed runs of each program, warm and cold (default: 5)
  --xdelta-runs N     timed runs of xdelta3 -e, warm and cold (default: 1; 0 leaves it out)
  --compare ZEMMAKE   also make every patch with this other zemmake, and fail
                      when one of ours is larger; its runs are timed too,
                      taking turns with ours ("compared" in the table)
  --cache "warm cold" only these (default: both)
  --undo              only the undo patches (zemmake -u), no patch from two images
  --sets "A B ..."    only these change sets (default: every set benchgen writes)
  --image-size S, --scattered N, --dense S, --small N
                      handed to benchgen (defaults: benchgen's own)
Warm: every input in the page cache. Cold: none of them (each is flushed and
dropped with posix_fadvise before the run). The floor of a patch is
`cat ORIGINAL MODIFIED > /dev/null`, of an undo patch `cat IMAGE PATCH >
/dev/null`; "+ write" adds writing and syncing a file as large as the patch.
Every patch is checked once with Mavrin: applied to the original it gives the
modified image, and the undo patch gives the original back.
EOF
}

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
data=
keep=0
runs=5
xruns=1
compare=
sets=
undoonly=0
caches="warm cold"
genopts=()
while (($#)); do
  case $1 in
    --build) build=$2; shift ;;
    --data) data=$2; shift ;;
    --keep) keep=1 ;;
    --runs) runs=$2; shift ;;
    --xdelta-runs) xruns=$2; shift ;;
    --compare) compare=$(realpath "$2"); shift ;;
    --sets) sets=$2; shift ;;
    --undo) undoonly=1 ;;
    --cache) caches=$2; shift ;;
    --image-size|--scattered|--dense|--small) genopts+=("$1" "$2"); shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
  shift
done
build=$(cd "$build" && pwd)
data=${data:-$build/zemmakedata}
zemmake=$build/zemmake
mavrin=$build/Mavrin
gen=$build/bench/benchgen
timer=$build/bench/benchtime
for prog in "$zemmake" "$mavrin" "$gen" "$timer"; do
  if [[ ! -x $prog ]]; then
    echo "zemmake_bench: $prog is missing; build first (cmake --workflow --preset test)" >&2
    exit 2
  fi
done
if ((xruns)) && ! command -v xdelta3 >/dev/null 2>&1; then xruns=0; fi

# The data folder is ours alone: made here, removed at the end unless kept.
if [[ -d $data && ! -e $data/.zemmakedata && -n $(ls -A "$data") ]]; then
  echo "zemmake_bench: $data is not empty and was not made by this script" >&2
  exit 2
fi
mkdir -p "$data"
touch "$data/.zemmakedata"
cleanup() {
  rm -rf "$data/work" "$data/times"
  if ((!keep)); then rm -rf "$data"; fi
}
trap cleanup EXIT
if [[ ! -e $data/base.bin ]]; then
  nice "$gen" "${genopts[@]}" "$data"
fi
if [[ -z $sets ]]; then
  sets=$(cd "$data" && ls ./*.v2.zem | sed 's|^\./||; s|\.v2\.zem$||' | tr '\n' ' ')
fi
rm -rf "$data/work" "$data/times"
mkdir -p "$data/work" "$data/times"
work=$data/work

echo "zemmake benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores," \
     "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')," \
     "Linux $(uname -r), $(df --output=fstype "$data" | tail -n 1) on $(df --output=source "$data" | tail -n 1)"
((xruns)) && xdelta3 -V 2>&1 | head -n 1 | cut -d, -f1
echo "image $(stat -c %s "$data/base.bin") bytes; sets: $sets; $runs runs each" \
     "(xdelta3: $xruns), $caches"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# Flushes each file and drops it from the page cache.
dropcache() {
  local f
  for f in "$@"; do
    sync "$f"
    dd if="$f" iflag=nocache count=0 status=none
  done
}

# timed KEY TEMP INPUTS... -- COMMAND...: one run, warm or cold (TEMP), of a
# command that reads INPUTS; its output files are removed before it starts.
timed() {
  local key=$1 temp=$2 inputs=()
  shift 2
  while [[ $1 != -- ]]; do inputs+=("$1"); shift; done
  shift
  rm -f "$work"/*
  if [[ $temp == cold ]]; then dropcache "${inputs[@]}"; else cat "${inputs[@]}" >/dev/null; fi
  if ! "$timer" "$data/times/$key.$temp" "$@" >"$data/output.txt" 2>&1 </dev/null; then
    echo "zemmake_bench: $key ($temp) failed:" >&2
    cat "$data/output.txt" >&2
    exit 1
  fi
}

# The floor: reading the inputs once, and that plus writing a synced file of
# the output's size.
floor() {   # floor KEY TEMP OUTSIZE INPUTS...
  local key=$1 temp=$2 size=$3
  shift 3
  timed "$key.floor" "$temp" "$@" -- sh -c 'cat "$@" >/dev/null' sh "$@"
  timed "$key.floorw" "$temp" "$@" -- sh -c 'out=$1 size=$2; shift 2; cat "$@" >/dev/null &&
    dd if=/dev/zero of="$out" bs=1M count="$size" iflag=count_bytes conv=fsync status=none' \
    sh "$work/floor.out" "$size" "$@"
}

# Sizes, and the round trip of every patch, untimed.
failed=0
declare -A patchsize undosize
for s in $sets; do
  "$zemmake" -u -f "$data/base.bin" "$data/$s.v2.zem" "$data/$s.zm.undo" >/dev/null
  undosize[$s]=$(stat -c %s "$data/$s.zm.undo")
  cp "$data/base.bin" "$work/image.bin"
  if ((!undoonly)); then
    "$zemmake" -f "$data/base.bin" "$data/$s.bin" "$data/$s.zm.zem" >/dev/null
    patchsize[$s]=$(stat -c %s "$data/$s.zm.zem")
    "$mavrin" "$work/image.bin" "$data/$s.zm.zem" >/dev/null
    cmp -s "$work/image.bin" "$data/$s.bin" || { echo "round trip of $s: FAILED" >&2; failed=1; }
  fi
  "$mavrin" "$work/image.bin" "$data/$s.v2.zem" >/dev/null
  "$mavrin" "$work/image.bin" "$data/$s.zm.undo" >/dev/null
  cmp -s "$work/image.bin" "$data/base.bin" || { echo "undo of $s: FAILED" >&2; failed=1; }
  rm -f "$work/image.bin"
  if [[ -n $compare ]]; then
    old=0
    ((undoonly)) || "$compare" -f "$data/base.bin" "$data/$s.bin" "$work/old.zem" >/dev/null
    ((undoonly)) || old=$(stat -c %s "$work/old.zem")
    "$compare" -u -f "$data/base.bin" "$data/$s.v2.zem" "$work/old.undo" >/dev/null
    oldu=$(stat -c %s "$work/old.undo")
    ((undoonly)) || echo "patch sizes, $s: $old -> ${patchsize[$s]} bytes"
    echo "undo patch sizes, $s: $oldu -> ${undosize[$s]} bytes"
    if (((!undoonly && patchsize[$s] > old) || undosize[$s] > oldu)); then
      echo "zemmake_bench: a patch of $s is larger than $compare makes it" >&2
      failed=1
    fi
    rm -f "$work/old.zem" "$work/old.undo"
  fi
done

# Timed runs: the programs take turns, warm and cold, each beside its floor.
for ((i = 0; i < runs; i++)); do
  for s in $sets; do
    for temp in $caches; do
      if ((!undoonly)); then
        floor "$s.patch" "$temp" "${patchsize[$s]}" "$data/base.bin" "$data/$s.bin"
        timed "$s.patch.zemmake" "$temp" "$data/base.bin" "$data/$s.bin" -- \
          "$zemmake" "$data/base.bin" "$data/$s.bin" "$work/p.zem"
        [[ -z $compare ]] || timed "$s.patch.compared" "$temp" "$data/base.bin" "$data/$s.bin" -- \
          "$compare" "$data/base.bin" "$data/$s.bin" "$work/p.zem"
      fi
      floor "$s.undo" "$temp" "${undosize[$s]}" "$data/base.bin" "$data/$s.v2.zem"
      timed "$s.undo.zemmake" "$temp" "$data/base.bin" "$data/$s.v2.zem" -- \
        "$zemmake" -u "$data/base.bin" "$data/$s.v2.zem" "$work/u.zem"
      [[ -z $compare ]] || timed "$s.undo.compared" "$temp" "$data/base.bin" "$data/$s.v2.zem" -- \
        "$compare" -u "$data/base.bin" "$data/$s.v2.zem" "$work/u.zem"
      if ((!undoonly && i < xruns)); then
        timed "$s.patch.xdelta3" "$temp" "$data/base.bin" "$data/$s.bin" -- \
          xdelta3 -e -f -s "$data/base.bin" "$data/$s.bin" "$work/x.vcdiff"
      fi
    done
  done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

# Table: medians, min-max, peak memory; each program's ratio to the read floor
# (and to the floor with the write) taken run by run, then their median.
for s in $sets; do
  for job in patch undo; do
    for prog in floor floorw zemmake compared xdelta3; do
      for temp in warm cold; do
        f=$data/times/$s.$job.$prog.$temp
        [[ -e $f ]] || continue
        paste "$f" "$data/times/$s.$job.floor.$temp" "$data/times/$s.$job.floorw.$temp" |
          head -n "$(wc -l <"$f")" | sed "s/^/$s $job $prog $temp /"
      done
    done
  done
done | awk '
function ms(s) { s *= 1000; return s < 10 ? sprintf("%.2f", s) : s < 100 ? sprintf("%.1f", s) : sprintf("%.0f", s) }
function median(list,   k, a, i, j, t) {
  k = split(list, a, " ")
  for (i = 2; i <= k; i++) for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
  lo = a[1]; hi = a[k]
  return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
}
{
  key = $1 " " $2 " " $3; t = $4
  if (!(key in seen)) { seen[key] = 1; order[++n] = key }
  times[key, t] = times[key, t] " " $5
  w = (NF - 4) / 3   # fields of one timing line: seconds first
  ratio[key, t] = ratio[key, t] " " $5 / $(5 + w)
  ratiow[key, t] = ratiow[key, t] " " $5 / $(5 + 2 * w)
  if ($6 > rss[key]) rss[key] = $6
}
END {
  label["floor"] = "read floor (cat)"; label["floorw"] = "floor + write"
  label["zemmake"] = "zemmake"; label["compared"] = "compared zemmake"; label["xdelta3"] = "xdelta3 -e"
  print "| change set | job | program | warm | x floor | x floor+write | cold | x floor | x floor+write | peak RSS |"
  print "|---|---|---|---|---|---|---|---|---|---|"
  for (i = 1; i <= n; i++) {
    split(order[i], k, " ")
    line = sprintf("| %s | %s | %s", k[1], k[2] == "undo" ? "undo (-u)" : "patch", label[k[3]])
    for (tt = 1; tt <= 2; tt++) {
      t = tt == 1 ? "warm" : "cold"
      if (!((order[i], t) in times)) { line = line " | - | - | -"; continue }
      med = median(times[order[i], t])
      range = ms(lo) == ms(hi) ? "" : sprintf(" (%s-%s)", ms(lo), ms(hi))
      line = line sprintf(" | %s ms%s | %.2fx | %.2fx", ms(med), range,
                          median(ratio[order[i], t]), median(ratiow[order[i], t]))
    }
    printf "%s | %s |\n", line, k[3] ~ /^floor/ ? "-" : sprintf("%.1f MiB", rss[order[i]] / 1024)
  }
}'
for s in $sets; do
  if ((undoonly)); then echo "$s: undo patch ${undosize[$s]} bytes"
  else echo "$s: patch ${patchsize[$s]} bytes, undo patch ${undosize[$s]} bytes"; fi
done
exit "$failed"
