#!/usr/bin/env bash
# Catches a pipe stage that loses, repeats or reorders bytes where the ring wraps or where the
# writer waits for room, that keeps the last bytes, or that hangs: random bytes go through
# `ovts-ringbench --stdin --stdout` and must come out byte for byte, with exit status 0.
# Arguments: the ovts-ringbench program, a scratch parent folder, the stream length in bytes,
# then the buffer options.
set -u
bench=$1
parent=$2
length=$3
shift 3
work=$(mktemp -d "$parent/ringbench-pipe.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
# The buffer file goes to drive C:, a folder of this run on the build tree's disk.
export OVTS_DRIVE_C=$work
head -c "$length" /dev/urandom >"$work/in"
timeout 120 "$bench" --stdin --stdout --dir 'C:\' "$@" <"$work/in" >"$work/out" 2>"$work/err"
rc=$?
cat "$work/err"
if [ "$rc" -ne 0 ]; then
  echo "FAIL: exit status $rc"
  exit 1
fi
if ! cmp "$work/in" "$work/out"; then
  echo "FAIL: $(stat -c %s "$work/out") of $length bytes came out, not all of them as they went in"
  exit 1
fi
echo "ok: $length bytes byte-exact"
