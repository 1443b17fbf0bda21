#!/usr/bin/env bash
# `tshift play --control` steered from other processes while a live stream (ffmpeg -re) plays:
# scripts/tshift ctl sends each command and the status line shows its effect; plain TCP clients
# (bash's /dev/tcp) send junk, an endless line, nothing at all, and 50 connections at once, and
# get an error line or their replies while the stream goes on being recorded and delivered.
# Catches commands that do not reach the filter, replies that do not say what happened, and a
# bad client that disturbs playback. Arguments: the source tree, the build tree.
set -u
top=$1
build=$2
[ -n "$(find "$build" -name ovts.ax -type f -print -quit)" ] || { echo "SKIP: no ovts.ax in $build"; exit 77; }
. "$top/tests/tools/tshift_live.sh"
play_test_setup
live_setup TShiftControlTest

play_controlled --bitrate 4000

figure() { status_figure "$@"; }
# grow_until FIGURE KB PATTERN: polls the status (matching PATTERN) until FIGURE passes KB.
grow_until() {
  local end=$((SECONDS + 30))
  until [ "$(figure "$1" "$status")" -gt "$2" ]; do
    [ "$SECONDS" -lt "$end" ] || fail "$1 stayed at $(figure "$1" "$status") KB, not past $2 KB"
    wait_status "$3" 5
  done
}

wait_status '^PLAYING .* out [1-9]' 30
# Some seconds of the stream retained, to seek back into.
grow_until current 3072 '^PLAYING'
ask pause '^ok$'
wait_status '^PAUSED' 5
written=$(figure write "$status")
grow_until write $((written + 2048)) '^PAUSED'
echo "ok: pause; the recording went on from $written KB to $(figure write "$status") KB"

read=$(figure read "$status")
seek "back 3"
wait_status '^PAUSED' 5
moved=$((read - $(figure read "$status")))
# 3 s at 4000 kbit/s are 1465 KB, 2 s are 977 KB.
[ "$moved" -gt 1100 ] && [ "$moved" -lt 1800 ] || fail "back 3 moved the play position by $moved KB"
read=$(figure read "$status")
seek "forward 2"
wait_status '^PAUSED' 5
moved=$(($(figure read "$status") - read))
[ "$moved" -gt 700 ] && [ "$moved" -lt 1250 ] || fail "forward 2 moved the play position by $moved KB"
echo "ok: back 3 and forward 2 moved the play position while paused"

ask resume '^ok$'
wait_status '^PLAYING' 5
ask pause '^ok$'
wait_status '^PAUSED' 5
behind=$(figure delay "$status")
grow_until delay $((behind + 2048)) '^PAUSED'
behind=$(figure delay "$status")
ask live '^ok$'
wait_status '^PLAYING' 5
read_cache=$("$top/scripts/tshift" settings --registry "$key" | awk '/Output Cache/ { split($3, c, ","); print c[1] }')
[ "$(figure delay "$status")" -le $((read_cache * 3 / 2)) ] ||
  fail "after live playback is $(figure delay "$status") KB behind, more than the read cache ($read_cache KB)"
echo "ok: live jumped from $behind KB behind to $(figure delay "$status") KB (read cache $read_cache KB)"

current=$(figure current "$status")
ask flush '^ok$'
wait_status '^PLAYING' 5
[ "$(figure current "$status")" -lt $((current / 2)) ] || fail "flush left $(figure current "$status") of $current KB"
ask help '^commands: pause, resume, status'
ask rewind "^error: unknown command 'rewind'"
ctl status rewind >/dev/null && fail "ctl exited 0 after an error reply"
echo "ok: flush, help and a refused command"

# Bad clients, and 50 at once, while the stream plays.
delivered=$(figure out "$status")
exec {silent}<>"/dev/tcp/127.0.0.1/$port" || fail "cannot connect"
exec {junk}<>"/dev/tcp/127.0.0.1/$port"
printf '\x00\xff\x1b[A\x01junk\nstatus\n' >&"$junk"
IFS= read -r -t 10 line <&"$junk" && [[ "$line" =~ ^error:\ not\ a\ command\ line ]] || fail "junk was answered '$line'"
IFS= read -r -t 10 line <&"$junk" && [[ "$line" =~ ^PLAYING ]] || fail "the line after the junk was answered '$line'"
exec {endless}<>"/dev/tcp/127.0.0.1/$port"
printf '%05000d' 0 >&"$endless"
IFS= read -r -t 10 line <&"$endless" && [ "$line" = "error: line longer than 1024 bytes" ] ||
  fail "an endless line was answered '$line'"
clients=()
for i in $(seq 50); do
  exec {fd}<>"/dev/tcp/127.0.0.1/$port" || fail "client $i cannot connect"
  clients+=("$fd")
done
for fd in "${clients[@]}"; do printf 'status\n' >&"$fd"; done
for fd in "${clients[@]}"; do
  IFS= read -r -t 10 line <&"$fd" && [[ "$line" =~ ^PLAYING ]] || fail "one of 50 clients was answered '$line'"
  exec {fd}>&-
done
exec {junk}>&- {endless}>&-
wait_status '^PLAYING' 5
grow_until out $((delivered + 1024)) '^PLAYING'
printf 'status\n' >&"$silent"
IFS= read -r -t 10 line <&"$silent" && [[ "$line" =~ ^PLAYING ]] || fail "the silent client was answered '$line'"
exec {silent}>&-
echo "ok: junk, an endless line, a silent client and 50 clients at once; delivery went on past $delivered KB"

quit_play 'paused (recording goes on)' 'seek -3 s' 'jumped to live' 'flushed' 'stopped'
