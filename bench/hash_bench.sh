#!/usr/bin/env bash
# Times the image layer's hashes (CRC32, MD5 and SHA-1 in one reading, by
# bench/hashbench, and by zeminfo --hash, the whole program) against md5sum
# of the same image alone, warm (everything in the page cache), on one
# 700 MiB file and on the same bytes split into three track files under a
# cue sheet. The programs take turns; the table gives medians.
# Usage: bench/hash_bench.sh [BUILDDIR] [RUNS] [MIB]   (defaults: build, 7, 700)
#   KEEP=1 keeps the generated data in BUILDDIR/hashbench for the next run.
set -euo pipefail
build=$(realpath "${1:-build}")
runs=${2:-7}
mib=${3:-700}
prog=$build/bench/hashbench
zeminfo=$build/zeminfo
for p in "$prog" "$zeminfo"; do
  [[ -x $p ]] || { echo "hash_bench: $p is missing; build first" >&2; exit 2; }
done
data=$build/hashbench
mkdir -p "$data"
[[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$data"' EXIT
if [[ ! -e $data/image.bin ]] || (($(stat -c %s "$data/image.bin") != mib << 20)); then
  head -c "${mib}M" /dev/urandom >"$data/image.bin"
  third=$(((mib << 20) / 3 / 2352 * 2352))
  piece() { dd if="$data/image.bin" of="$data/Game (Track $1).bin" iflag=skip_bytes,count_bytes \
           skip="$2" ${3:+count="$3"} bs=1M status=none; }
  piece 01 0 "$third"
  piece 02 "$third" "$third"
  piece 03 $((2 * third))
  for n in 01 02 03; do
    printf 'FILE "Game (Track %s).bin" BINARY\r\n  TRACK %s MODE2/2352\r\n    INDEX 01 00:00:00\r\n' "$n" "$n"
  done >"$data/Game.cue"
fi

# timed FILE PROG ARGS...: appends "wall cpu" seconds of the run to FILE
timed() {
  local file=$1 t
  shift
  t=$( { TIMEFORMAT='%R %U %S'; time "$@" >"$data/out" 2>/dev/null; } 2>&1 )
  awk '{print $1, $2 + $3}' <<<"$t" >>"$file"
}
median() { sort -n | awk '{a[NR] = $1} END {print NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

echo "hash benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores," \
     "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), Linux $(uname -r)"
echo "image $mib MiB, warm; $runs runs each, taking turns; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "(wall and CPU seconds, user and system, of all threads; medians)"
echo
echo "| image | md5sum wall | hashbench wall | ratio | zeminfo --hash wall | ratio | md5sum CPU | hashbench CPU | zeminfo CPU |"
echo "|---|---|---|---|---|---|---|---|---|"
want=$(md5sum <"$data/image.bin" | cut -d' ' -f1)
for image in image.bin Game.cue; do
  : >"$data/md5.t"
  : >"$data/hash.t"
  : >"$data/info.t"
  cat "$data"/*.bin >/dev/null
  for ((i = 0; i < runs; i++)); do
    timed "$data/md5.t" md5sum "$data/image.bin"
    timed "$data/hash.t" "$prog" "$data/$image"
    got=$(head -c 32 "$data/out")
    [[ $got == "$want" ]] || { echo "hash_bench: $image gave MD5 $got, md5sum $want" >&2; exit 1; }
    timed "$data/info.t" "$zeminfo" --json --hash "$data/$image"
    # The whole image's hashes come last, after those of the tracks.
    got=$(grep -o '"md5": "[0-9a-f]*"' "$data/out" | tail -n 1 | cut -d'"' -f4)
    [[ $got == "$want" ]] || { echo "hash_bench: zeminfo --hash $image gave MD5 $got, md5sum $want" >&2; exit 1; }
  done
  mw=$(cut -d' ' -f1 "$data/md5.t" | median)
  hw=$(cut -d' ' -f1 "$data/hash.t" | median)
  mc=$(cut -d' ' -f2 "$data/md5.t" | median)
  hc=$(cut -d' ' -f2 "$data/hash.t" | median)
  iw=$(cut -d' ' -f1 "$data/info.t" | median)
  ic=$(cut -d' ' -f2 "$data/info.t" | median)
  awk -v n="$image" -v mw="$mw" -v hw="$hw" -v mc="$mc" -v hc="$hc" -v iw="$iw" -v ic="$ic" \
    'BEGIN {printf "| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |\n",
            n, mw, hw, hw / mw, iw, iw / mw, mc, hc, ic}'
done
