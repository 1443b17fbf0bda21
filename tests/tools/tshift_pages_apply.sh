#!/usr/bin/env bash
# `tshift pages` with a person at its frame (tshift_pages_person: real clicks and keys through
# the platform's input queue): OK stores a changed buffer size and cache set, Apply stores what it
# confirms, Cancel drops what came after, as `tshift settings` shows. Catches a frame that never
# applies the pages (as Wine's own), one that applies on Cancel, and pages that store other values
# than they show. Arguments: the source tree, the build tree.
set -u
top=$1
build=$2
[ -n "$(find "$build" -name ovts.ax -type f -print -quit)" ] || { echo "SKIP: no ovts.ax in $build"; exit 77; }
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no display for the property frame"; exit 77; }
person=$build/tests/tools/tshift_pages_person.exe
[ -f "$person" ] || { echo "FAIL: $person is missing"; exit 1; }
export OVTS_BUILD_DIR=$build OVTS_TSHIFT_NO_BUILD=1
. "$top/scripts/wine-env"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*"
  sed 's/^/  /' "$work/err" 2>/dev/null | tail -n 10
  exit 1
}

key='Software\Orvanta\TShiftPagesApplyTest'
tshift() { "$top/scripts/tshift" "$@" --registry "$key"; }
mkdir -p "$WINEPREFIX/drive_c/ovts-test-pages-apply"
tshift settings set Drive 'C:\ovts-test-pages-apply\' >/dev/null &&
  tshift settings set "Max BufSize (KB)" 65536 >/dev/null &&
  tshift settings set "Input Cache" 8192,1024,0 >/dev/null &&
  tshift settings set "Output Cache" 2048,256,75 >/dev/null || fail "cannot store the starting settings"

# session SCENARIO: tshift pages on its General page, the person at it, then the frame closed.
session() {
  coproc PAGES { tshift pages 2>"$work/err"; }
  local pid=$PAGES_PID in=${PAGES[1]} line
  echo "page 1" >&"$in"
  IFS= read -r -t 60 line <&"${PAGES[0]}" && [ "$line" = "page 1: General" ] || fail "$1: the frame did not show"
  exec {in}>&-  # no more lines: the frame stays until the person closes it
  wine "$person" "$1" 2>"$work/person" || fail "$1: $(cat "$work/person")"
  local end=$((SECONDS + 30))
  while kill -0 "$pid" 2>/dev/null; do
    [ "$SECONDS" -lt "$end" ] || fail "$1: tshift pages still runs after its frame was closed"
    sleep 0.2
  done
  wait "$pid" || fail "$1: tshift pages ended with $?"
  tshift settings >"$work/settings" || fail "$1: settings"
}
setting() { sed -n "s/^  $1  *//p" "$work/settings"; }

session ok
[ "$(setting 'Max BufSize (KB)')" = 32768 ] || fail "OK stored a buffer of $(setting 'Max BufSize (KB)') KB, not 32768"
[ "$(setting 'Input Cache' | cut -d, -f1)" = 2048 ] || fail "OK stored the input cache $(setting 'Input Cache')"
[ "$(setting 'Output Cache' | cut -d, -f1)" = 1024 ] || fail "OK stored the output cache $(setting 'Output Cache')"
echo "ok: OK stored the buffer size and the caches: $(setting 'Max BufSize (KB)') KB, $(setting 'Input Cache'), $(setting 'Output Cache')"

session apply
[ "$(setting 'Max BufSize (KB)')" = 16384 ] || fail "Apply then Cancel left a buffer of $(setting 'Max BufSize (KB)') KB, not 16384"
[ "$(setting 'Input Cache' | cut -d, -f1)" = 2048 ] || fail "Cancel stored the input cache $(setting 'Input Cache')"
echo "ok: Apply stored 16384 KB; what came after it was dropped by Cancel"
