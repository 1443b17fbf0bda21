# Sourced by the tests that play a live stream through `scripts/tshift play`: the test's own
# settings key and buffer folder, a 10 s MPEG-2 transport stream at 4 Mbit/s, its live source
# (looped, paced by ffmpeg -re), and play steered through its control channel. Expects top and
# build, and work and a fail function (play_test_setup makes both for the control-channel tests).

# live_setup NAME: settings under Software\Orvanta\NAME with the buffer in C:\ovts-test-NAME\,
# and $work/in.ts.
live_setup() {
  key="Software\\Orvanta\\$1"
  export OVTS_BUILD_DIR=$build OVTS_TSHIFT_NO_BUILD=1
  . "$top/scripts/wine-env"
  mkdir -p "$WINEPREFIX/drive_c/ovts-test-$1"
  "$top/scripts/tshift" settings set Drive "C:\\ovts-test-$1\\" --registry "$key" >/dev/null ||
    fail "settings set Drive"
  ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -t 10 -c:v mpeg2video -q:v 4 -g 12 -muxrate 4000k \
    -f mpegts "$work/in.ts" || fail "ffmpeg cannot make the input"
}

# The stream, live and endless, on standard output; ffmpeg keeps off the terminal's keys.
live_source() {
  ffmpeg -nostdin -v error -re -stream_loop -1 -i "$work/in.ts" -c copy -muxrate 4000k -f mpegts -
}

# status_figure LABEL LINE: a figure of a status line in KB: read, write, current, out, or delay
# (the bytes behind live).
status_figure() {
  local pick
  case $1 in
    delay) pick='s/.* delay [^(]*\(([0-9.]+) (KB|MB)\).*/\1 \2/' ;;
    *) pick="s/.* $1 ([0-9.]+) (KB|MB)( .*|$)/\\1 \\2/" ;;
  esac
  sed -E "$pick" <<<"$2" | awk '{ print int($2 == "MB" ? $1 * 1024 : $1) }'
}

# play_test_setup: a work folder, removed at the end with play stopped, and fail, which shows
# play's last lines.
play_test_setup() {
  work=$(mktemp -d)
  play=""
  trap '[ -n "$play" ] && kill "$play" 2>/dev/null; wait; rm -rf "$work"' EXIT
  fail() {
    echo "FAIL: $*"
    tr '\r' '\n' <"$work/err" | grep -v '^$' | tail -n 12 | sed 's/^/  tshift: /'
    exit 1
  }
}

# play_controlled ARGS...: the live source through `tshift play --in - --out $work/out.ts
# --registry $key --control 0 ARGS` in the background (its standard error in $work/err); leaves
# play's process in $play and its control channel's port in $port.
play_controlled() {
  live_source 2>/dev/null |
    "$top/scripts/tshift" play --in - --out "$work/out.ts" --registry "$key" --control 0 "$@" 2>"$work/err" &
  play=$!
  local end=$((SECONDS + 90))
  until port=$(grep -o 'control channel at 127.0.0.1:[0-9]*' "$work/err" | sed 's/.*://') && [ -n "$port" ]; do
    [ "$SECONDS" -lt "$end" ] || fail "play did not say where its control channel is"
    sleep 0.2
  done
}

ctl() { "$top/scripts/tshift" ctl "$port" "$@"; }
# ask COMMAND EXPECTED: one command, its reply checked.
ask() {
  local reply
  reply=$(ctl "$1")
  [[ "$reply" =~ $2 ]] || fail "'$1' was answered '$reply', not /$2/"
}
# wait_status PATTERN SECONDS: polls the status line until it matches; it is left in $status.
wait_status() {
  local end=$((SECONDS + $2))
  until status=$(ctl status) && [[ "$status" =~ $1 ]]; do
    [ "$SECONDS" -lt "$end" ] || fail "no status /$1/ within $2 s; the last: $status"
    sleep 0.2
  done
}
# The filter takes one seek a second: a seek asked sooner is refused, and asked again.
seek() {
  local end=$((SECONDS + 10)) reply
  until reply=$(ctl "$1"); do
    [[ "$reply" =~ "seek ignored" ]] && [ "$SECONDS" -lt "$end" ] || fail "'$1' was answered '$reply'"
  done
}

# quit_play NOTE...: quit through the control channel; play must end with 0 within 20 s, having
# told the person at its terminal each NOTE.
quit_play() {
  ask quit '^ok$'
  local end=$((SECONDS + 20)) rc note
  while kill -0 "$play" 2>/dev/null; do
    [ "$SECONDS" -lt "$end" ] || fail "play did not end after quit"
    sleep 0.2
  done
  wait "$play"
  rc=$?
  play=""
  [ "$rc" -eq 0 ] || fail "play ended with $rc after quit"
  for note in "$@"; do
    grep -qF "$note" "$work/err" || fail "the person at play's terminal was not told '$note'"
  done
  echo "ok: quit ended play with 0"
}
