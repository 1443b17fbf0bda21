#!/usr/bin/env bash
# The file ring as a pipe stage beside other pipe buffers, on one random stream on this disk:
# cat, mbuffer in memory, mbuffer backed by a file, GStreamer's queue2 ring in a file, and
# ovts-ringbench --stdin --stdout with a 1 GiB file buffer. The peers run in turns, round after
# round, so a change in the machine's load touches them all alike. Every output's SHA-256 must be
# the input's. Prints each run, then per peer its median MB/s (10^6 bytes) and its ratio to ours.
#
#   bench/peers.sh [--size SIZE] [--rounds N]
#
# --size: the stream's length as head -c takes it (2G; 256M for a quick trial); --rounds: runs
# per peer (5). Environment: PEERS_DIR, the folder for the scratch files, on a disk (/var/tmp);
# PEERS_NATIVE_BUILD, the native build tree (build/native, built when ovts-ringbench is missing).
# Installs mbuffer and gstreamer1.0-tools with apt when they are missing: the benchmark needs
# them, nothing else does.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
size=2G
rounds=5
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=${2:?--size needs a value}; shift 2 ;;
    --rounds) rounds=${2:?--rounds needs a value}; shift 2 ;;
    *) echo "usage: bench/peers.sh [--size SIZE] [--rounds N]" >&2; exit 2 ;;
  esac
done
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || { echo "peers.sh: --rounds must be a positive number" >&2; exit 2; }

# The ring's caches: a 20 MiB input cache moved in 2 MiB chunks, a 5 MiB output cache filled in
# 512 KiB chunks from 75 %; 1 MiB blocks in and out. A stream of whole 2 MiB ends on a chunk
# boundary, so no tail waits in the caches at its end. (2.5 MiB and 640 KiB chunks measured the
# same.)
ovtsCaches=20480,2048,0,5120,512,75
ovtsBlock=1048576
build=$top/${PEERS_NATIVE_BUILD:-build/native}
ringbench=$build/tools/ringbench/ovts-ringbench

install_peers() {
  command -v mbuffer >/dev/null && command -v gst-launch-1.0 >/dev/null && return 0
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "peers.sh: installing mbuffer and gstreamer1.0-tools for this benchmark" >&2
  $sudo apt-get install -y -q mbuffer gstreamer1.0-tools >/dev/null
}
install_peers || { echo "peers.sh: cannot install mbuffer and gstreamer1.0-tools" >&2; exit 1; }
gst-inspect-1.0 queue2 >/dev/null 2>&1 || { echo "peers.sh: GStreamer has no queue2 element" >&2; exit 1; }
if [ ! -x "$ringbench" ]; then
  (cd "$top" && cmake --preset native >/dev/null && cmake --build --preset native --target ovts-ringbench >/dev/null) ||
    { echo "peers.sh: cannot build ovts-ringbench in $build" >&2; exit 1; }
fi

work=$(mktemp -d "${PEERS_DIR:-/var/tmp}/ovts-peers.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
case "$(stat -f -c %T "$work")" in
  tmpfs|ramfs) echo "peers.sh: $work is in memory; set PEERS_DIR to a folder on a disk" >&2; exit 1 ;;
esac
mkdir "$work/ring"
export OVTS_DRIVE_D=$work/ring  # the ring file's drive D:

digest() {  # file: its SHA-256 (openssl's uses the processor's SHA instructions)
  if command -v openssl >/dev/null; then
    openssl dgst -sha256 -r "$1" | cut -d' ' -f1
  else
    sha256sum "$1" | cut -d' ' -f1
  fi
}

# Each peer reads standard input and writes standard output.
peers=(cat mbuffer_mem mbuffer_disk queue2_ring ovts_file)
declare -A command=(
  [cat]="cat"
  [mbuffer_mem]="mbuffer -q -m 64M"
  [mbuffer_disk]="mbuffer -q -m 1G -T $(printf %q "$work/mbuffer.tmp")"
  [queue2_ring]="gst-launch-1.0 -q fdsrc fd=0 ! queue2 ring-buffer-max-size=1073741824 temp-template=$(printf %q "$work/queue2-XXXXXX") ! fdsink fd=1 sync=false"
  [ovts_file]="$(printf %q "$ringbench") --stdin --stdout --buffer file --size-kb 1048576 --dir 'D:\\' --cache $ovtsCaches --write-block $ovtsBlock --read-block $ovtsBlock"
)

echo "making a $size random stream in $work ($(stat -f -c %T "$work"))" >&2
head -c "$size" /dev/urandom >"$work/in" || exit 1
bytes=$(stat -c %s "$work/in")
want=$(digest "$work/in")
echo "stream: $bytes bytes, sha256 $want"
for peer in "${peers[@]}"; do echo "peer=$peer: ${command[$peer]}"; done

declare -A rates
failed=0
for ((round = 1; round <= rounds; round++)); do
  for peer in "${peers[@]}"; do
    start=$(date +%s.%N)
    eval "${command[$peer]}" <"$work/in" >"$work/out" 2>"$work/err"
    rc=$?
    end=$(date +%s.%N)
    got=$(digest "$work/out")
    mbps=$(awk -v b="$bytes" -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", b / (e - s) / 1e6 }')
    if [ "$rc" -eq 0 ] && [ "$got" = "$want" ]; then
      rates[$peer]+="$mbps "
      echo "round=$round peer=$peer MBps=$mbps sha256=ok"
    else
      failed=1
      echo "round=$round peer=$peer MBps=$mbps exit=$rc sha256=$([ "$got" = "$want" ] && echo ok || echo WRONG) out_bytes=$(stat -c %s "$work/out")"
      sed 's/^/  /' "$work/err" | head -n 5
    fi
    rm -f "$work/out" "$work"/mbuffer.tmp "$work"/queue2-*
  done
done

median() {  # numbers: their median, or nothing
  tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { if (NR) printf "%.1f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ours=$(median "${rates[ovts_file]:-}")
for peer in "${peers[@]}"; do
  m=$(median "${rates[$peer]:-}")
  runs=$(wc -w <<<"${rates[$peer]:-}")
  ratio=$(awk -v m="$m" -v o="$ours" 'BEGIN { if (m != "" && o > 0) printf "%.2f", m / o; else printf "-" }')
  echo "peer=$peer median_MBps=${m:--} runs_ok=$runs/$rounds ratio_to_ours=$ratio"
done
exit $failed
