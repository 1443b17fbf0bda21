#!/usr/bin/env bash
# The ring buffer figure set, measured with ovts-ringbench: natively from build/native and under
# Wine through scripts/wine-run from build/windows (build them first: cmake --preset native &&
# cmake --build --preset native, and likewise windows).
#
#   bench/ringbench.sh [native|windows|all]
#   bench/ringbench.sh blocks [native|windows]
#
# (a) memory ring buffer, --lossless, 32 KiB blocks: read_MBps against memcpy_MBps
# (b) file buffer, default caches, 20 MB/s for 30 s: lost 0 and corrupt 0
# (c) the highest rate at which the file buffer loses nothing over 30 s, with the default caches
#     and with 20480,2560,0,5120,640,75 (doubling with short runs, then bisection)
# (d) under Wine: the memory buffer's read_MBps (figure (a) of the windows set)
# blocks: the file buffer with the default caches fed in transport-stream block sizes (188, 1316,
#     32768, 65424 bytes) at 2.5 and 20 MB/s for RINGBENCH_SECONDS each, then the highest
#     loss-free rate with 65424-byte blocks
#
# Environment: RINGBENCH_SECONDS (30), RINGBENCH_QUICK_SECONDS (10, the doubling runs),
# RINGBENCH_STEPS (5 bisection runs), RINGBENCH_DIR (C:\), RINGBENCH_FILE_KB (262144),
# RINGBENCH_NATIVE_BUILD (build/native), RINGBENCH_WINDOWS_BUILD (build/windows).
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
seconds=${RINGBENCH_SECONDS:-30}
quick=${RINGBENCH_QUICK_SECONDS:-10}
steps=${RINGBENCH_STEPS:-5}
dir=${RINGBENCH_DIR:-'C:\'}
fileKB=${RINGBENCH_FILE_KB:-262144}
bigCaches=20480,2560,0,5120,640,75
nativeBuild=$top/${RINGBENCH_NATIVE_BUILD:-build/native}
windowsBuild=$top/${RINGBENCH_WINDOWS_BUILD:-build/windows}

bench() {  # target, then ovts-ringbench options
  local target=$1
  shift
  if [ "$target" = native ]; then
    "$nativeBuild/tools/ringbench/ovts-ringbench" "$@"
  else
    "$top/scripts/wine-run" "$windowsBuild/tools/ringbench/ovts-ringbench.exe" "$@" | tr -d '\r'
  fi
}

# A run loses nothing when no byte was lost or damaged and the writer kept the pace asked of it
# (a writer held back by the buffer has not written at that rate).
clean() {  # result line, rate asked
  [[ " $1 " == *" lost_bytes=0 "* && " $1 " == *" dropped_bytes=0 "* && " $1 " == *" corrupt_bytes=0 "* ]] || return 1
  local achieved
  achieved=$(sed -n 's/.* write_MBps=\([0-9.]*\).*/\1/p' <<<"$1")
  awk -v a="${achieved:-0}" -v r="$2" 'BEGIN { exit !(a >= 0.97 * r) }'
}

file_run() {  # target, rate, seconds, cache options...
  local target=$1 rate=$2 secs=$3
  shift 3
  bench "$target" --buffer file --size-kb "$fileKB" --dir "$dir" --rate-mbps "$rate" --seconds "$secs" "$@"
}

highest_clean_rate() {  # target, label, cache options...
  local target=$1 label=$2
  shift 2
  local good=0 bad=0 rate=20 line
  while [ "$bad" -eq 0 ]; do  # bracket: double while short runs stay clean
    line=$(file_run "$target" "$rate" "$quick" "$@")
    echo "  [$target c $label] ${quick}s at $rate MB/s: $line"
    if clean "$line" "$rate"; then
      good=$rate
      rate=$((rate * 2))
      [ "$rate" -gt 16000 ] && bad=$rate
    else
      bad=$rate
    fi
  done
  local i mid
  for ((i = 0; i < steps; i++)); do  # bisect with full-length runs
    mid=$(((good + bad) / 2))
    [ "$mid" -le "$good" ] && break
    line=$(file_run "$target" "$mid" "$seconds" "$@")
    echo "  [$target c $label] ${seconds}s at $mid MB/s: $line"
    if clean "$line" "$mid"; then good=$mid; else bad=$mid; fi
  done
  while [ "$good" -gt 0 ]; do  # the answer must hold over the full length
    line=$(file_run "$target" "$good" "$seconds" "$@")
    clean "$line" "$good" && break
    echo "  [$target c $label] ${seconds}s at $good MB/s: $line"
    good=$((good * 3 / 4))
  done
  echo "[$target c $label] highest loss-free rate over ${seconds}s: $good MB/s: $line"
}

figures() {  # target
  local target=$1
  echo "[$target a] $(bench "$target" --buffer mem --lossless --write-block 32768 --read-block 32768)"
  echo "[$target b] $(file_run "$target" 20 "$seconds")"
  highest_clean_rate "$target" default
  highest_clean_rate "$target" "$bigCaches" --cache "$bigCaches"
}

blocks() {  # target
  local target=$1 block rate
  for block in 188 1316 32768 65424; do
    for rate in 2.5 20; do
      echo "[$target blocks] $block bytes at $rate MB/s: $(file_run "$target" "$rate" "$seconds" --write-block "$block")"
    done
  done
  highest_clean_rate "$target" "default, 65424-byte blocks" --write-block 65424
}

case "$which" in
  native) figures native ;;
  windows) figures windows ;;
  all) figures native && figures windows ;;
  blocks) blocks "${2:-native}" ;;
  *) echo "usage: bench/ringbench.sh [native|windows|all] | blocks [native|windows]" >&2; exit 2 ;;
esac
