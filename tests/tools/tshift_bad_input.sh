#!/usr/bin/env bash
# Bad input to the real program through scripts/tshift: each case must end, within its limit,
# with a non-zero status and exactly one line on standard error that starts "tshift: ", and
# nothing on standard output. Catches a hang, a crash (Wine's crash report would add lines), a
# silent failure and an error that spills over several lines.
# Arguments: the source tree, the build tree.
set -u
top=$1
build=$2
[ -n "$(find "$build" -name ovts.ax -type f -print -quit)" ] || { echo "SKIP: no ovts.ax in $build"; exit 77; }
export OVTS_BUILD_DIR=$build OVTS_TSHIFT_NO_BUILD=1
. "$top/scripts/wine-env"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
key='Software\Orvanta\TShiftBadInputTest'
failures=0

# expect NAME STDIN-FILE ARGS...: runs tshift and judges its ending.
expect() {
  local name=$1 input=$2
  shift 2
  timeout 60 "$top/scripts/tshift" "$@" <"$input" >"$work/out" 2>"$work/err"
  local rc=$?
  local lines
  lines=$(wc -l <"$work/err")
  if [ "$rc" -eq 0 ] || [ "$rc" -eq 124 ] || [ "$lines" -ne 1 ] || ! grep -q '^tshift: ' "$work/err" || [ -s "$work/out" ]; then
    echo "FAIL: $name: exit $rc, $lines lines on standard error:"
    sed 's/^/  /' "$work/err" | head -n 10
    failures=$((failures + 1))
  else
    echo "ok: $name: $(cat "$work/err")"
  fi
}

printf 'G' >"$work/one-byte.ts"
expect "unknown command" /dev/null frobnicate
expect "unknown option" /dev/null play --in - --loud
expect "missing input file" /dev/null play --in /nonexistent/in.ts --out "$work/o.ts"
expect "input is a folder" /dev/null play --in "$work" --out "$work/o.ts"
expect "output folder missing" /dev/null play --in "$work/one-byte.ts" --out /nonexistent/o.ts
expect "unknown setting" /dev/null settings set "Max Buf" 1 --registry "$key"
expect "time-shift out of range" /dev/null settings set "Initial Time-Shift" 33554433 --registry "$key"
expect "cache without three numbers" /dev/null settings set "Input Cache" 4096 --registry "$key"
expect "module that is no server" /dev/null register 'C:\windows\system32\kernel32.dll'

# A buffer folder that does not exist, then a disk without the space its reserve asks for.
"$top/scripts/tshift" settings set Drive 'C:\ovts-no-such-folder\' --registry "$key" >/dev/null 2>&1
expect "buffer folder missing" "$work/one-byte.ts" play --in - --out "$work/o.ts" --registry "$key"
"$top/scripts/tshift" settings set Drive 'C:\' --registry "$key" >/dev/null 2>&1
"$top/scripts/tshift" settings set "Min Disk Free Space (MB)" 4000000000 --registry "$key" >/dev/null 2>&1
expect "disk without space" "$work/one-byte.ts" play --in - --out "$work/o.ts" --registry "$key"

[ "$failures" -eq 0 ] || { echo "FAIL: $failures cases"; exit 1; }
