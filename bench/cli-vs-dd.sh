#!/usr/bin/env bash
# Whole processes side by side: `quenvory write --yes` against
# `dd bs=1M oflag=direct` onto the same direct-I/O loop device, write only
# and with the read-back (dd's write followed by dd's direct read), at 8 MiB
# and 512 MiB. Each way is started as a process and timed from outside, the
# ways taking turns; the median of the rounds is compared. The write only is
# also set against `dd oflag=direct conv=fsync`, which flushes at its end as
# the writer does: the median of the rounds' differences is the writer's
# fixed cost over dd. As root.
#
#   bench/cli-vs-dd.sh [rounds]        (9 when not given)
#
# The scratch files go into $TMPDIR (or /tmp): put that on the disk whose
# speed you mean to measure, not on tmpfs.
set -euo pipefail

rounds=${1:-9}
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ $(id -u) -ne 0 ]]; then
  echo "$0: loop devices need root; nothing measured" >&2
  exit 0
fi

build=$root/build/bench
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUENVORY_SANITIZE=OFF \
  -DQUENVORY_TESTS=ON >/dev/null
cmake --build "$build" --target quenvory_cli -j2 >/dev/null
quenvory=$build/cli/quenvory

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quenvory-cli-bench.XXXXXX")
loop=
cleanup() {
  if [[ -n $loop ]]; then losetup --detach "$loop" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# A 32-bit little-endian word as printf escapes.
le32() {
  local value=$(($1 & 0xFFFFFFFF)) text= k
  for k in 0 8 16 24; do text+=$(printf '\\x%02x' $(((value >> k) & 0xFF))); done
  printf '%s' "$text"
}

# Seconds a command takes, start to end of its process.
timed() {
  local start end
  start=$(date +%s%N)
  "$@"
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
minimum() { sort -n | head -1; }
maximum() { sort -n | tail -1; }

dd_write() { dd if="$payload" of="$loop" bs=1M oflag=direct status=none; }
# dd asking the device to flush at its end, as the writer does before it
# calls a card done.
dd_write_flush() { dd if="$payload" of="$loop" bs=1M oflag=direct conv=fsync status=none; }
dd_write_read() {
  dd_write
  dd if="$loop" of=/dev/null bs=1M iflag=direct count="$mebibytes" status=none
}
writer() { "$quenvory" write --yes --quiet "$image" "$loop" 2>"$scratch/said" || { cat "$scratch/said" >&2; return 1; }; }
writer_only() { "$quenvory" write --yes --quiet --no-verify "$image" "$loop" 2>"$scratch/said" || { cat "$scratch/said" >&2; return 1; }; }

echo "quenvory write --yes against dd, whole processes, $(uname -r), median of $rounds rounds"
for mebibytes in 8 512; do
  blocks=$((mebibytes * 2048))
  payload=$scratch/payload
  image=$scratch/card.S7img
  head -c $((mebibytes * 1048576)) /dev/urandom >"$payload"
  { printf "$(le32 $blocks)$(le32 $((blocks - 1236)))"; cat "$payload"; } >"$image"
  truncate -s $(((mebibytes + 1) * 1048576)) "$scratch/card.img"
  loop=$(losetup --direct-io=on --find --show "$scratch/card.img")
  # Both read the image through the page cache: read it once first.
  cat "$image" "$payload" >/dev/null

  declare -A times=()
  for ((round = 0; round < rounds; ++round)); do
    times[dd]+="$(timed dd_write) "
    times[ddsync]+="$(timed dd_write_flush) "
    times[writer]+="$(timed writer_only) "
    times[ddread]+="$(timed dd_write_read) "
    times[verify]+="$(timed writer) "
  done
  # What the card holds after the last run is the image.
  cmp -n $((mebibytes * 1048576)) "$loop" "$payload"

  echo
  echo "$mebibytes MiB onto $loop (loop over $scratch/card.img, direct I/O $(cat /sys/block/${loop#/dev/}/loop/dio))"
  printf '%-40s %10s %10s %10s %8s\n' "" "median s" "min s" "max s" "x dd"
  # One line: the way's median, fastest and slowest, and its median over
  # the median of `base`.
  row() {
    local name=$1 key=$2 base=$3 values med least most baseline
    values=$(tr ' ' '\n' <<<"${times[$key]}" | grep .)
    med=$(median <<<"$values")
    least=$(minimum <<<"$values")
    most=$(maximum <<<"$values")
    baseline=$(tr ' ' '\n' <<<"${times[$base]}" | grep . | median)
    awk -v n="$name" -v m="$med" -v a="$least" -v z="$most" -v b="$baseline" \
      'BEGIN { printf "%-40s %10.4f %10.4f %10.4f %8.2f\n", n, m / 1e6, a / 1e6, z / 1e6, m / b }'
  }
  row "dd bs=1M oflag=direct" dd dd
  row "quenvory write --yes --no-verify" writer dd
  row "dd bs=1M oflag=direct conv=fsync" ddsync dd
  row "dd write + dd iflag=direct read" ddread ddread
  row "quenvory write --yes (read-back)" verify ddread
  # Round by round, the write only less dd's write with its flush: what the
  # writer costs beyond moving the bytes.
  over=$(paste <(tr ' ' '\n' <<<"${times[writer]}" | grep .) \
    <(tr ' ' '\n' <<<"${times[ddsync]}" | grep .) | awk '{print $1 - $2}' | median)
  awk -v o="$over" -v n="$rounds" \
    'BEGIN { printf "write only over dd conv=fsync: %+.1f ms (median of %d pairs)\n", o / 1e3, n }'
  unset times
  losetup --detach "$loop"
  loop=
  rm -f "$scratch/card.img"
done
