#!/usr/bin/env bash
# `scripts/tshift play` in a real terminal (a tmux pane), fed as the README feeds it:
# ffmpeg -nostdin -re ... | scripts/tshift play --in - --out FILE. Keys typed at the terminal
# steer it: space pauses (the recording goes on), space resumes, l jumps to live, q quits at
# once. Catches keys that never reach the program, a pause that stops the recording, a jump that
# stays behind, a slow quit, and a terminal left in raw mode after q, Ctrl-C, a kill and a kill -9
# of the wrapper, or a crash of the program. Arguments: the source tree, the build tree.
set -u
top=$1
build=$2
[ -n "$(find "$build" -name ovts.ax -type f -print -quit)" ] || { echo "SKIP: no ovts.ax in $build"; exit 77; }
command -v tmux >/dev/null || { echo "FAIL: tmux is missing (scripts/setup installs it)"; exit 1; }
work=$(mktemp -d)
session=0  # each session has a tmux server of its own: one that is ending refuses new clients
tmux_() { tmux -S "$work/tmux-$session" "$@"; }
trap 'tmux_ kill-server 2>/dev/null; rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*"
  tr '\r' '\n' <"$work/pane" 2>/dev/null | grep -v '^$' | tail -n 15 | sed 's/^/  pane: /'
  exit 1
}

. "$top/tests/tools/tshift_live.sh"
live_setup TShiftTerminalTest

# The pane runs the README's command, then notes its status and the terminal's settings.
cat >"$work/session" <<EOF
stty -g >"$work/before"
work=$work
. "$top/tests/tools/tshift_live.sh"
live_source |
  "$top/scripts/tshift" play --in - --out "$work/out.ts" --bitrate 4000 --registry '$key'
echo "\${PIPESTATUS[1]}" >"$work/rc.part" && mv "$work/rc.part" "$work/rc"
stty -g >"$work/after"
EOF

start_session() {
  rm -f "$work/rc" "$work/before" "$work/after" "$work/pane"
  tmux_ kill-server 2>/dev/null
  session=$((session + 1))
  tmux_ -f /dev/null new-session -d -x 200 -y 50 "bash $work/session; exec sleep 600" || fail "tmux cannot start"
  tmux_ pipe-pane -o "cat >>$work/pane"
  wait_for 'h shows the keys' 90 || fail "tshift play did not say where its keys come from"
  wait_for 'PLAYING .* out [1-9]' 30 || fail "nothing was played"
}

# wait_for PATTERN SECONDS: polls the pane's output for an extended regular expression.
wait_for() {
  local end=$((SECONDS + $2))
  until { tr '\r' '\n' <"$work/pane"; } 2>/dev/null | grep -Eq "$1"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}

# wait_after NOTE PATTERN SECONDS: polls for a line matching PATTERN after the last line with
# NOTE.
wait_after() {
  local end=$((SECONDS + $3))
  until { tr '\r' '\n' <"$work/pane"; } 2>/dev/null | awk -v note="$1" -v want="$2" '
      index($0, note) { seen = 1; found = 0 } seen && $0 ~ want { found = 1 } END { exit !found }'; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}

# The newest status line's write location or delay behind live, in KB.
figure() { status_figure "$1" "$(tr '\r' '\n' <"$work/pane" | grep -E '^(PLAYING|PAUSED)' | tail -n 1)"; }

# The session's end: the status within the limit, and the terminal as it was found.
expect_end() {  # WHAT SECONDS
  local asked took
  asked=$(date +%s%N)
  until [ -f "$work/rc" ]; do
    took=$((($(date +%s%N) - asked) / 1000000))
    [ "$took" -le $(($2 * 1000)) ] || fail "$1: play still runs after $2 s"
    sleep 0.1
  done
  took=$((($(date +%s%N) - asked) / 1000000))
  until [ -f "$work/after" ]; do sleep 0.1; done
  cmp -s "$work/before" "$work/after" ||
    fail "$1: the terminal's settings changed: $(cat "$work/before") -> $(cat "$work/after")"
  echo "ok: $1: play ended with $(cat "$work/rc") after $took ms, the terminal as it was"
}

# The processes of this test's session: its registry key names them.
session_pid() { pgrep -f "$1 play --in - --out $work/out.ts --bitrate 4000 --registry Software.Orvanta.TShiftTerminalTest" | head -n 1; }

# Space, with the pause held for 2 MB of the stream: the recording goes on meanwhile, and
# playback falls that far behind live.
pause_for_2mb() {
  tmux_ send-keys ' '
  wait_for 'paused \(recording goes on\)' 10 || fail "space did not pause"
  wait_after 'paused' '^PAUSED' 5 || fail "no PAUSED status after space"
  first=$(figure write)
  local end=$((SECONDS + 20))
  until [ "$(figure write)" -gt $((first + 2048)) ]; do
    [ "$SECONDS" -lt "$end" ] || fail "the write location went from $first KB only to $(figure write) KB while paused"
    sleep 0.2
  done
}

# Keys, then q.
start_session
pause_for_2mb
echo "ok: space paused; the write location grew from $first KB to $(figure write) KB"
tmux_ send-keys ' '
wait_for 'resumed' 10 || fail "space did not resume"
wait_after 'resumed' '^PLAYING' 5 || fail "no PLAYING status after resuming"
echo "ok: space resumed"
# A file takes the stream as fast as the filter gives it, so playback catches up at once after a
# resume: l is seen while paused, where playback stays behind.
pause_for_2mb
behind=$(figure delay)
tmux_ send-keys 'l'
wait_for 'jumped to live' 10 || fail "l did not jump to live"
wait_after 'jumped to live' '^PLAYING' 5 || fail "no status after the jump"
read_cache=$("$top/scripts/tshift" settings --registry "$key" | awk '/Output Cache/ { split($3, c, ","); print c[1] }')
delay=$(figure delay)
[ "$behind" -gt $((read_cache * 2)) ] || fail "after the pause playback was only $behind KB behind live"
[ "$delay" -le $((read_cache * 3 / 2)) ] || fail "the delay after l is $delay KB, more than the read cache ($read_cache KB)"
echo "ok: l jumped from $behind KB behind live to $delay KB (read cache $read_cache KB)"
tmux_ send-keys Left
wait_for 'seek -10 s' 10 || fail "left did not seek back"
# The filter takes one seek a second: the next waits for a status line after this one.
wait_after 'seek -10 s' '^PLAYING' 5 || fail "no status after the seek"
tmux_ send-keys Right
wait_for 'seek \+10 s' 10 || fail "right did not seek forward"
tmux_ send-keys x
wait_for 'flushed' 10 || fail "x did not flush"
tmux_ send-keys s Up h
wait_for 'q/Esc quit' 10 || fail "h did not show the keys"
echo "ok: left, right, x and h did what the help says"
tmux_ send-keys q
expect_end "q" 2
[ "$(cat "$work/rc")" = 0 ] || fail "q ended play with $(cat "$work/rc")"

start_session
tmux_ send-keys Escape
expect_end "Esc" 2

# With the property pages open (closing a window costs Wine two seconds on a display without a
# window manager, so not in the q session).
start_session
if [ -n "${DISPLAY:-}" ]; then
  tmux_ send-keys o
  wait_for 'property pages opened' 20 || fail "o did not open the property pages"
fi
tmux_ send-keys C-c
expect_end "Ctrl-C$([ -n "${DISPLAY:-}" ] && echo " with the property pages open")" 10

start_session
kill "$(session_pid scripts/tshift)"
expect_end "kill of the wrapper" 10

start_session
kill -9 "$(session_pid scripts/tshift)"
expect_end "kill -9 of the wrapper" 10

start_session
kill -9 "$(session_pid tshift.exe)"
expect_end "crash of tshift.exe" 10
