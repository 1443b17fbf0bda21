#!/usr/bin/env bash
# `tshift pages` as a script drives it: the module's property frame opened on its own thread
# over the running filter from the registered module, each page brought to the front by a line
# and named back, a bad line refused, and the frame and graph closed by "quit". Catches a frame
# that never shows, pages in the wrong order or under the wrong title, and a session that will
# not end. Arguments: the source tree, the build tree.
set -u
top=$1
build=$2
[ -n "$(find "$build" -name ovts.ax -type f -print -quit)" ] || { echo "SKIP: no ovts.ax in $build"; exit 77; }
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no display for the property frame"; exit 77; }
export OVTS_BUILD_DIR=$build OVTS_TSHIFT_NO_BUILD=1
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
printf 'page 1\npage 2\npage 3\npage 4\npage 5\nquit\n' | "$top/scripts/tshift" pages >"$out" 2>"$err"
rc=$?
cat "$out" "$err"
expected=$'page 1: General\npage 2: Status\npage 3: Cache \npage 4: Instrumentation'
[ "$(cat "$out")" = "$expected" ] || { echo "FAIL: the pages were not named back in order"; exit 1; }
grep -q "cannot show page 5" "$err" || { echo "FAIL: page 5 was not refused"; exit 1; }
[ "$rc" -eq 0 ] || { echo "FAIL: tshift pages exited with $rc"; exit 1; }
