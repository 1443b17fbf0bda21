#!/usr/bin/env bash
# The main job as `scripts/demo` runs it: the scripted time-shift session through the module
# registered by the platform's regsvr32, in the platform's Filter Graph Manager. Catches any
# control whose mark is missing or misplaced, bytes lost or repeated between marks, and a graph
# that will not start or stop. Arguments: the source tree, the build tree.
set -u
top=$1
build=$2
[ -n "$(find "$build" -name ovts.ax -type f -print -quit)" ] || { echo "SKIP: no ovts.ax in $build"; exit 77; }
export OVTS_BUILD_DIR=$build OVTS_TSHIFT_NO_BUILD=1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$top/scripts/tshift" demo </dev/null >"$out" 2>&1
rc=$?
cat "$out"
grep -q "result        PASS" "$out" || { echo "FAIL: the demo's checks did not all hold (exit $rc)"; exit 1; }
[ "$rc" -eq 0 ] || { echo "FAIL: tshift demo exited with $rc"; exit 1; }
