#!/usr/bin/env bash
# zemmount's benchmark: the mounted patched image read whole (first read
# after mounting, then twice again) and in random 2352-byte sectors, beside
# the same reads of the unpatched image through bindfs (a plain FUSE
# passthrough) and of the original itself, the original in the page cache;
# and the memory of the zemmount process. Needs root (or FUSE for the user)
# and bindfs. Prints one table per change set, with the load average.
set -euo pipefail

usage() {
  echo "usage: bench/zemmount_bench.sh [--build DIR] [--data DIR] [--sets scattered,dense] [--runs N]" \
       "[--image-size SIZE]"
}
build=build data= sets=scattered,dense runs=3 imagesize=700M
while (($#)); do
  case $1 in
    --build) build=$2; shift ;;
    --data) data=$2; shift ;;
    --sets) sets=$2; shift ;;
    --runs) runs=$2; shift ;;
    --image-size) imagesize=$2; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
  shift
done
build=$(cd "$build" && pwd)
data=${data:-$build/mountdata}
zemmount=$build/zemmount
for need in "$zemmount" "$build/bench/benchgen"; do
  [[ -x $need ]] || { echo "zemmount_bench: $need is missing; build first" >&2; exit 2; }
done
command -v bindfs >/dev/null || { echo "zemmount_bench: bindfs is not installed (Debian: bindfs)" >&2; exit 2; }

mkdir -p "$data"
if [[ ! -e $data/base.bin || ! -e $data/dense.v2.zem ]]; then
  "$build/bench/benchgen" --image-size "$imagesize" "$data" >/dev/null
fi
mnt=$data/mnt
mkdir -p "$mnt"
pids=()
cleanup() {
  mountpoint -q "$mnt" && fusermount3 -u "$mnt"
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

# Seconds a command takes, to the microsecond.
timed() {
  local t0=$EPOCHREALTIME
  "$@"
  echo "$EPOCHREALTIME - $t0" | bc -l
}
readwhole() { dd if="$1" of=/dev/null bs=1M status=none; }
# Median latency in microseconds of 2000 reads of one random 2352-byte sector each.
sectorreads() {
  python3 - "$1" <<'EOF'
import os, random, statistics, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY)
n = os.fstat(fd).st_size // 2352
rnd = random.Random(2352)
lat = []
for _ in range(2000):
    off = rnd.randrange(n) * 2352
    t = time.perf_counter_ns()
    os.pread(fd, 2352, off)
    lat.append(time.perf_counter_ns() - t)
print("%.1f" % (statistics.median(lat) / 1000))
EOF
}
# Mounts with the command given (in the foreground, in the background of
# this script); its pid in mounter.
mountwith() {
  "$@" &
  mounter=$!
  pids+=("$mounter")
  for _ in $(seq 600); do mountpoint -q "$mnt" && return; sleep 0.05; done
  echo "zemmount_bench: $* did not mount" >&2
  exit 1
}
unmount() {
  fusermount3 -u "$mnt"
  wait "$mounter" || true
}
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }

readwhole "$data/base.bin"   # the original in the page cache
IFS=, read -r -a setlist <<<"$sets"
for set in "${setlist[@]}"; do
  patch=$data/$set.v2.zem
  direct=() bind=() bind2=() first=() second=() third=() opened=()
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  for _ in $(seq "$runs"); do
    readwhole "$data/base.bin"
    direct+=("$(timed readwhole "$data/base.bin")")
    mountwith bindfs -f -r "$data" "$mnt"
    bind+=("$(timed readwhole "$mnt/base.bin")")
    bind2+=("$(timed readwhole "$mnt/base.bin")")
    unmount
    t0=$EPOCHREALTIME
    mountwith "$zemmount" -f "$data/base.bin" "$patch" "$mnt"
    opened+=("$(echo "$EPOCHREALTIME - $t0" | bc -l)")
    first+=("$(timed readwhole "$mnt/base.bin")")
    second+=("$(timed readwhole "$mnt/base.bin")")
    third+=("$(timed readwhole "$mnt/base.bin")")
    unmount
  done
  # Random sectors, each on a fresh mount; then the memory, and the check.
  sdirect=$(sectorreads "$data/base.bin")
  mountwith bindfs -f -r "$data" "$mnt"
  sbind=$(sectorreads "$mnt/base.bin")
  unmount
  mountwith "$zemmount" -f "$data/base.bin" "$patch" "$mnt"
  szem=$(sectorreads "$mnt/base.bin")
  readwhole "$mnt/base.bin"
  cmp "$mnt/base.bin" "$data/$set.bin" || { echo "zemmount_bench: $set: the mount differs from Mavrin's result" >&2; exit 1; }
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$mounter/status")
  hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$mounter/status")
  unmount

  d=$(printf '%s\n' "${direct[@]}" | median) b=$(printf '%s\n' "${bind[@]}" | median)
  b2=$(printf '%s\n' "${bind2[@]}" | median) t=$(printf '%s\n' "${third[@]}" | median)
  f=$(printf '%s\n' "${first[@]}" | median) s=$(printf '%s\n' "${second[@]}" | median)
  o=$(printf '%s\n' "${opened[@]}" | median)
  echo "$set ($(stat -c %s "$patch") bytes of patch; medians of $runs runs;" \
       "load average $load, then $(cut -d' ' -f1-3 /proc/loadavg))"
  printf '  %-44s %8.3f s\n' "original, read directly" "$d"
  printf '  %-44s %8.3f s\n' "bindfs, unpatched, first read" "$b"
  printf '  %-44s %8.3f s  %.2fx original\n' "bindfs, unpatched, second read" "$b2" "$(echo "$b2 / $d" | bc -l)"
  printf '  %-44s %8.3f s  %.2fx bindfs, %.2fx original\n' "zemmount, first read" "$f" \
    "$(echo "$f / $b" | bc -l)" "$(echo "$f / $d" | bc -l)"
  printf '  %-44s %8.3f s  %.2fx original\n' "zemmount, second read" "$s" "$(echo "$s / $d" | bc -l)"
  printf '  %-44s %8.3f s  %.2fx original\n' "zemmount, third read" "$t" "$(echo "$t / $d" | bc -l)"
  printf '  %-44s %8.3f s\n' "zemmount, start to mounted" "$o"
  printf '  %-44s %8s us / %s us / %s us\n' "sector reads, median: zemmount/bindfs/original" "$szem" "$sbind" "$sdirect"
  printf '  %-44s %8s KiB\n' "zemmount resident, serving (after reading)" "$rss"
  printf '  %-44s %8s KiB\n' "zemmount resident, peak" "$hwm"
done
