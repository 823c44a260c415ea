#!/usr/bin/env bash
# A long soak of sysaudio against a private PulseAudio server: a tone plays all along, the
# output is read and counted, and resident memory is sampled every few seconds. Says whether
# memory stayed flat and how the output kept pace with the wall clock. Not part of CI.
#
#   scripts/soak.sh [--minutes 60] [--binary build/sysaudio] [--every 5]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
minutes=60
binary=$here/../build/sysaudio
every=5
while [ $# -gt 0 ]; do
  case $1 in
    --minutes) minutes=$2; shift 2 ;;
    --binary) binary=$2; shift 2 ;;
    --every) every=$2; shift 2 ;;
    *) echo "usage: $0 [--minutes N] [--binary PATH] [--every SECONDS]" >&2; exit 2 ;;
  esac
done
binary=$(realpath "$binary")

# shellcheck source=private-sound-server.sh
. "$here/private-sound-server.sh"
work=$(mktemp -d /tmp/sysaudio-soak.XXXXXX)
player_pid= program_pid= counter_pid=
cleanup() {
  for pid in $program_pid $player_pid $counter_pid; do kill "$pid" 2>/dev/null || true; done
  private_sound_server_stop
  rm -rf "$work"
}
trap cleanup EXIT
private_sound_server_start speakers
private_sound_server_keep_awake speakers

seconds=$((minutes * 60))
# A quiet tone for the whole soak, and a little longer, from a player that never starves.
sox -n -r 48000 -c 2 -b 16 -e signed -t raw - synth $((seconds + 30)) sine 440 vol 0.3 |
  pacat --playback --format=s16le --rate=48000 --channels=2 --latency-msec=200 \
    --device=speakers --stream-name=soak-tone &
player_pid=$!

mkfifo "$work/out"
wc -c <"$work/out" >"$work/bytes" &
counter_pid=$!
"$binary" >"$work/out" 2>"$work/stderr" &
program_pid=$!
started=$(date +%s.%N)

samples=()
echo "soak: ${minutes} min, VmRSS every ${every} s (KiB)"
while :; do
  now=$(date +%s.%N)
  elapsed=$(echo "$now - $started" | bc)
  if [ "$(echo "$elapsed >= $seconds" | bc)" = 1 ]; then break; fi
  if ! kill -0 "$program_pid" 2>/dev/null; then
    echo "FAULT: sysaudio ended on its own" >&2
    exit 1
  fi
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$program_pid/status")
  samples+=("$rss")
  printf '%8.0f s  %s\n' "$elapsed" "$rss"
  sleep "$every"
done

kill -TERM "$program_pid"
status=0
wait "$program_pid" || status=$?
ended=$(date +%s.%N)
program_pid=
wait "$counter_pid" || true
counter_pid=
bytes=$(cat "$work/bytes")

python3 - "$status" "$bytes" "$(echo "$ended - $started" | bc)" "$work/stderr" "${samples[@]}" <<'PY'
import sys
status, byte_count, elapsed, stderr_path = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
rss = [int(v) for v in sys.argv[5:]]
# The first tenth is warm-up (allocator arenas, the converter's buffers).
settled = rss[len(rss) // 10:] or rss
third = max(len(settled) // 3, 1)
early, late = max(settled[:third]), max(settled[-third:])
growth = late - early
flat = growth <= 1024
print(f"exit status on SIGTERM: {status}")
print(f"diagnostics: {open(stderr_path).read().strip() or 'none'}")
print(f"output: {byte_count} bytes in {elapsed:.1f} s, "
      f"{100 * (byte_count / (32000 * elapsed) - 1):+.3f} % against the wall clock")
print(f"VmRSS: min {min(rss)} KiB, max {max(rss)} KiB; settled early max {early} KiB, late max "
      f"{late} KiB: {'flat' if flat else 'GROWING'} ({growth:+d} KiB)")
sys.exit(0 if flat and status == 0 else 1)
PY
