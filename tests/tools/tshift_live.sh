# Sourced by the tests that play a live stream through `scripts/tshift play`: the test's own
# settings key and buffer folder, a 10 s MPEG-2 transport stream at 4 Mbit/s, and its live
# source (looped, paced by ffmpeg -re). Expects top, build, work and a fail function.

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
