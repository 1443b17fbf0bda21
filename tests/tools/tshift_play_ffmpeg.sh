#!/usr/bin/env bash
# A real client around `scripts/tshift play`: ffmpeg makes an MPEG-2 transport stream, feeds it
# live (-re) through standard input, and checks what comes out; then the same file is pulled
# through the platform's File Source (Async) with the default caches. Catches bytes lost,
# repeated or reordered on the way through the buffer, the last bytes of a stream kept in the
# caches (a file smaller than the write cache delivered nothing), an end that never comes, a
# stream that a player would find broken, and standard input or output not passed byte-exact.
# Arguments: the source tree, the build tree.
set -u
top=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; sed 's/^/  tshift: /' "$work/err" 2>/dev/null | tail -n 20; exit 1; }
[ -n "$(find "$build" -name ovts.ax -type f -print -quit)" ] || { echo "SKIP: no ovts.ax in $build"; exit 77; }

ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -t 10 -c:v mpeg2video -q:v 2 -g 12 -muxrate 2000k \
  -f mpegts "$work/in.ts" || fail "ffmpeg cannot make the input"

# The test's own settings key and buffer folder: no user's settings are touched.
export OVTS_BUILD_DIR=$build OVTS_TSHIFT_NO_BUILD=1
key='Software\Orvanta\TShiftPlayTest'
. "$top/scripts/wine-env"
mkdir -p "$WINEPREFIX/drive_c/ovts-test-tshift-play"
"$top/scripts/tshift" settings set Drive 'C:\ovts-test-tshift-play\' --registry "$key" >/dev/null 2>"$work/err" ||
  fail "settings set Drive"

# What ffmpeg sends is kept (tee) to compare with what comes out.
ffmpeg -nostdin -v error -re -i "$work/in.ts" -c copy -muxrate 2000k -f mpegts - 2>"$work/ffmpeg-err" |
  tee "$work/sent.ts" |
  timeout 120 "$top/scripts/tshift" play --in - --out - --bitrate 2000 --registry "$key" >"$work/out.ts" 2>"$work/err"
rc=${PIPESTATUS[2]}
[ "$rc" -eq 0 ] || fail "tshift play exited with $rc"
grep -q "every byte was delivered" "$work/err" || fail "tshift did not see the stream complete"

in_size=$(stat -c %s "$work/sent.ts")
out_size=$(stat -c %s "$work/out.ts")
cmp -s "$work/sent.ts" "$work/out.ts" || fail "$out_size bytes came out for $in_size, or they differ"

# A file pulled at full speed, smaller than the default write cache: all of it, and the end.
"$top/scripts/tshift" settings set "Input Cache" 4096,4096,0 --registry "$key" >/dev/null 2>"$work/err" ||
  fail "settings set Input Cache"
timeout 60 "$top/scripts/tshift" play --in "$(winepath -w "$work/in.ts")" --out "$(winepath -w "$work/pulled.ts")" \
  --registry "$key" </dev/null 2>"$work/err"
rc=$?
[ "$rc" -eq 0 ] || fail "tshift play --in FILE exited with $rc"
cmp -s "$work/in.ts" "$work/pulled.ts" || fail "the pulled file did not come out byte-identical"

ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of default=nw=1:nk=1 "$work/out.ts" >"$work/probe" 2>"$work/probe-err"
grep -qx mpeg2video "$work/probe" && [ ! -s "$work/probe-err" ] || fail "ffprobe: $(cat "$work/probe-err")"
ffmpeg -v warning -i "$work/out.ts" -f null - 2>"$work/decode"
grep -i "continuity" "$work/decode" && fail "continuity errors in the delivered stream"
# Every frame but the last (cut by the end of delivery) decodes as the input's frame does.
ffmpeg -v error -i "$work/in.ts" -f framemd5 - 2>/dev/null | grep -v '^#' >"$work/in.md5"
ffmpeg -v quiet -i "$work/out.ts" -f framemd5 - 2>/dev/null | grep -v '^#' >"$work/out.md5"
frames=$(($(wc -l <"$work/out.md5") - 1))
[ "$frames" -ge 100 ] || fail "only $frames frames decoded from the delivered stream"
cmp -s <(head -n "$frames" "$work/in.md5") <(head -n "$frames" "$work/out.md5") || fail "decoded frames differ"
echo "tshift play: $out_size of $in_size bytes delivered byte-exact, $frames frames decode as the input's; the pulled file too"
