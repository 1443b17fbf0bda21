#!/usr/bin/env bash
# `tshift play` steered by the stream's own seconds while a live 4 Mbit/s transport stream
# (ffmpeg -re) plays through the registered filter: the status line's time figures, "behind",
# "back" and "forward" by seconds, the one-seek-a-second refusal, and saving the last seconds
# ("export S FILE" and the key's default name beside the buffer file) while playback goes on.
# Catches seconds that do not reach the filter or land elsewhere than asked, a time source or
# delay the status line gets wrong, an export cut inside a packet or of the wrong length, and a
# refusal taken for a failure of play. Arguments: the source tree, the build tree.
set -u
top=$1
build=$2
[ -n "$(find "$build" -name ovts.ax -type f -print -quit)" ] || { echo "SKIP: no ovts.ax in $build"; exit 77; }
. "$top/tests/tools/tshift_live.sh"
play_test_setup
live_setup TShiftTimeTest
rm -f "$WINEPREFIX/drive_c/ovts-test-TShiftTimeTest/"*.ts

play_controlled
# seconds LABEL: the seconds after LABEL in $status ("delay 4.1 s", "retained 86.2 s").
seconds() { sed -nE "s/.* $1 ([0-9.]+) s.*/\\1/p" <<<"$status"; }
# within VALUE LOW HIGH: LOW <= VALUE <= HIGH, in decimals.
within() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v != "" && v >= lo && v <= hi) }'; }
# export_ends PATH: waits for play's note on how the export to PATH ended; it is left in $ended.
export_ends() {
  local end=$((SECONDS + 30))
  until ended=$(tr '\r' '\n' <"$work/err" | grep -F "export $1: " | tail -n 1) && [ -n "$ended" ]; do
    [ "$SECONDS" -lt "$end" ] || fail "play never told how the export to $1 ended"
    sleep 0.2
  done
}
# check_clip FILE SECONDS: whole packets from a sync byte; ffprobe finds SECONDS (-1.5, +1) of
# MPEG-2 video in it, and ffmpeg decodes its frames from the first sequence header on (a cut
# inside a group of pictures leaves the frames before it undecodable, as in any recording).
check_clip() {
  local size duration frames
  size=$(stat -c %s "$1")
  [ "$size" -gt 0 ] && [ $((size % 188)) -eq 0 ] || fail "$1 holds $size bytes, not whole 188-byte packets"
  [ "$(head -c 1 "$1" | od -An -tx1 | tr -d ' ')" = 47 ] || fail "$1 does not start with a sync byte"
  [ "$(ffprobe -v quiet -select_streams v:0 -show_entries stream=codec_name -of default=nw=1:nk=1 "$1" | head -n 1)" = mpeg2video ] ||
    fail "ffprobe finds no MPEG-2 video in $1"
  duration=$(ffprobe -v quiet -show_entries format=duration -of default=nw=1:nk=1 "$1")
  within "$duration" "$(awk -v s="$2" 'BEGIN { print s - 1.5 }')" "$(awk -v s="$2" 'BEGIN { print s + 1 }')" ||
    fail "$1 lasts $duration s, not about $2 s"
  # 25 frames a second, a sequence header every 12 frames.
  frames=$(ffmpeg -v quiet -i "$1" -f framemd5 - | grep -vc '^#')
  [ "$frames" -ge "$(awk -v s="$2" 'BEGIN { print int((s - 1.5) * 25) }')" ] ||
    fail "ffmpeg decodes $frames frames of $1, lasting $duration s"
}

wait_status 'stream clock' 30
# Some seconds retained, to seek into.
end=$((SECONDS + 40))
until within "$(seconds retained)" 9 1000; do
  [ "$SECONDS" -lt "$end" ] || fail "retained no more than $(seconds retained) s; the last: $status"
  sleep 0.5
  wait_status '^PLAYING' 5
done
echo "ok: the status line shows the stream clock and $(seconds retained) s retained"

ask pause '^ok$'
wait_status '^PAUSED' 5
seek "behind 6"
wait_status '^PAUSED' 5
# 6 s at 4000 kbit/s are 2930 KB.
within "$(seconds delay)" 5.3 6.7 || fail "behind 6 left playback $(seconds delay) s behind live: $status"
behind=$(status_figure delay "$status")
within "$behind" 2500 3400 || fail "behind 6 left playback $behind KB behind live: $status"
echo "ok: behind 6 is $(seconds delay) s ($behind KB) behind live"

read=$(status_figure read "$status")
seek "back 30"
wait_status '^PAUSED' 5
[ "$(status_figure read "$status")" -lt 600 ] ||
  fail "back 30 with $(seconds retained) s retained did not go to the oldest data: read $(status_figure read "$status") KB"
read=$(status_figure read "$status")
seek "forward 2"
wait_status '^PAUSED' 5
moved=$(($(status_figure read "$status") - read))
[ "$moved" -gt 700 ] && [ "$moved" -lt 1250 ] || fail "forward 2 moved the play position by $moved KB"
# Two seeks at once: the second comes within the second and is refused, with play going on.
end=$((SECONDS + 10))
until replies=$(ctl "back 1" "back 1"); [[ ! "$replies" =~ ^"error: seek ignored" ]]; do
  [ "$SECONDS" -lt "$end" ] || fail "back 1 was refused for 10 s"
done
[[ "$replies" =~ ^ok$'\n'"error: seek ignored: the filter takes one seek a second"$ ]] ||
  fail "two seeks at once were answered '$replies'"
echo "ok: back 30 went to the oldest data, forward 2 moved $moved KB, a second seek within the second was refused"

ask resume '^ok$'
clip=$(winepath -w "$work/clip.ts")
ask "export 4 $clip" "^ok: ${clip//\\/\\\\}$"
export_ends "$clip"
[[ "$ended" =~ ": done, " ]] || fail "the export ended: $ended"
check_clip "$work/clip.ts" 4
# The key's 30 s, or what is retained when that is less.
wait_status '^PLAYING' 5
keep=$(awk -v r="$(seconds retained)" 'BEGIN { print r < 30 ? r : 30 }')
reply=$(ctl e)
[[ "$reply" =~ ^ok:\ (C:\\ovts-test-TShiftTimeTest\\TShift-[0-9]{8}-[0-9]{6}\.ts)$ ]] ||
  fail "e was answered '$reply', not a new .ts beside the buffer file"
named=${BASH_REMATCH[1]}
export_ends "$named"
[[ "$ended" =~ ": done, " ]] || fail "the export ended: $ended"
check_clip "$WINEPREFIX/drive_c/ovts-test-TShiftTimeTest/${named##*\\}" "$keep"
ask "export stop" '^error: no export is running$'
wait_status '^PLAYING' 5
echo "ok: export 4 and e saved whole packets ffprobe reads, 4 s and $keep s, while playback went on"

quit_play 'seek to 6 s behind live' 'seek -30 s' 'seek +2 s' "saving the last 4 s to $clip" 'stopped'
