#!/usr/bin/env bash
# Shows sysaudio at work on a machine without sound hardware: a private sound server with a
# null sink plays a spoken clip while sysaudio records it; the capture is left in demo/ as a
# wav file and a spectrogram. The server is whichever the machine has: PulseAudio, or
# PipeWire with its PulseAudio server (SYSAUDIO_DEMO_SERVER=pulseaudio|pipewire to choose).
#
#   scripts/demo.sh [path/to/sysaudio]     (default: build/sysaudio)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
binary=$(realpath "${1:-$repo/build/sysaudio}")
out=$repo/demo
text="This is sysaudio. Whatever the computer plays comes out as sixteen kilohertz mono."

# Everything below runs inside a private server that the wrapper starts and stops by pid.
if [ -z "${SYSAUDIO_SOUND_SERVER:-}" ]; then
  exec python3 "$repo/scripts/with_server.py" --server "${SYSAUDIO_DEMO_SERVER:-auto}" \
    --sink speakers --keep-awake -- "$0" "$binary"
fi

sysaudio_pid=
cleanup() {
  if [ -n "$sysaudio_pid" ]; then kill -KILL "$sysaudio_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

[ -x "$binary" ] || { echo "demo: no program at $binary; run make first" >&2; exit 1; }
mkdir -p "$out"
rm -f "$out"/captured.raw "$out"/captured.wav "$out"/captured.png "$out"/sysaudio.stderr

echo "demo: rendering the clip with espeak-ng: \"$text\""
espeak-ng -w "$out/clip.wav" "$text"
clip_seconds=$(soxi -D "$out/clip.wav")
printf 'demo: clip is %.2f s\n' "$clip_seconds"

echo "demo: private $SYSAUDIO_SOUND_SERVER server with null sink 'speakers' in $XDG_RUNTIME_DIR"

"$binary" >"$out/captured.raw" 2>"$out/sysaudio.stderr" &
sysaudio_pid=$!
for _ in $(seq 100); do
  [ -s "$out/captured.raw" ] && break
  kill -0 "$sysaudio_pid" 2>/dev/null || break
  sleep 0.05
done
if [ ! -s "$out/captured.raw" ]; then
  echo "demo: sysaudio produced no audio:" >&2
  cat "$out/sysaudio.stderr" >&2
  exit 1
fi
echo "demo: sysaudio (pid $sysaudio_pid) is capturing; playing the clip into the sink"
paplay --latency-msec=100 --device=speakers "$out/clip.wav"
sleep 0.3
kill -INT "$sysaudio_pid"
status=0
wait "$sysaudio_pid" || status=$?
sysaudio_pid=
echo "demo: sysaudio ended with status $status after SIGINT"
if [ -s "$out/sysaudio.stderr" ]; then
  echo "demo: sysaudio said:" && cat "$out/sysaudio.stderr"
fi

sox -t raw -r 16000 -e signed-integer -b 16 -c 1 -L "$out/captured.raw" "$out/captured.wav"
sox "$out/captured.wav" -n spectrogram -x 1000 -y 257 -t "sysaudio capture" \
  -o "$out/captured.png"
rm -f "$out/captured.raw"

stats=$(sox "$out/captured.wav" -n stats 2>&1)
figure() { awk -v key="$1" 'index($0, key) == 1 { print $NF }' <<<"$stats"; }
captured_seconds=$(soxi -D "$out/captured.wav")
printf 'demo: captured %.2f s at 16 kHz mono (clip %.2f s plus the start and the tail)\n' \
  "$captured_seconds" "$clip_seconds"
echo "demo: peak level $(figure 'Pk lev dB') dBFS, RMS level $(figure 'RMS lev dB') dBFS"
echo "demo: wrote $out/captured.wav and $out/captured.png"
[ "$status" -eq 0 ]
