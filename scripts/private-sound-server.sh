# Sourced by scripts that need a sound server of their own: a private PulseAudio with a null
# sink, in its own runtime directory, that nothing else on the machine can see or spawn.
#
#   private_sound_server_start [SINK_NAME]   # exports XDG_RUNTIME_DIR, PULSE_CLIENTCONFIG, ...
#   private_sound_server_stop                # by pid; safe to call twice, or from a trap
#   private_sound_server_keep_awake          # a silent low-latency player in the sink

private_sound_server_start() {
  local sink=${1:-speakers}
  PRIVATE_SOUND_DIR=$(mktemp -d /tmp/sysaudio-sound.XXXXXX)
  chmod 700 "$PRIVATE_SOUND_DIR"
  export XDG_RUNTIME_DIR=$PRIVATE_SOUND_DIR
  export HOME=$PRIVATE_SOUND_DIR   # the server and clients keep their cookie and state here
  unset PULSE_SERVER PULSE_SINK PULSE_SOURCE DISPLAY
  # Without autospawn, a client that finds no server says so instead of starting one.
  printf 'autospawn = no\n' >"$PRIVATE_SOUND_DIR/client.conf"
  export PULSE_CLIENTCONFIG=$PRIVATE_SOUND_DIR/client.conf
  pulseaudio --daemonize=yes --exit-idle-time=-1 --disallow-exit -n --use-pid-file=yes \
    --log-target="file:$PRIVATE_SOUND_DIR/pulseaudio.log" \
    --load="module-native-protocol-unix auth-anonymous=1" \
    --load="module-null-sink sink_name=$sink rate=48000 channels=2" || return 1
  PRIVATE_SOUND_PID=$(cat "$PRIVATE_SOUND_DIR/pulse/pid")
  local tries=0
  until pactl info >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ "$tries" -gt 50 ]; then
      echo "private sound server did not answer" >&2
      return 1
    fi
    sleep 0.1
  done
}

# An idle null sink renders up to two seconds ahead; a player that never starves keeps it
# rendering in small steps, so that a new recording starts at once. Suspending and resuming
# the sink once the player is in makes it drop the long block it had already rendered.
private_sound_server_keep_awake() {
  local sink=${1:-speakers}
  pacat --playback --format=float32le --rate=48000 --channels=2 --latency-msec=20 \
    --stream-name=keep-awake --device="$sink" </dev/zero &
  PRIVATE_SOUND_KEEPER_PID=$!
  local tries=0
  until pactl list short sink-inputs | grep -q .; do
    tries=$((tries + 1))
    if [ "$tries" -gt 50 ]; then
      echo "silent player did not start" >&2
      return 1
    fi
    sleep 0.1
  done
  pactl suspend-sink "$sink" 1 && pactl suspend-sink "$sink" 0
}

private_sound_server_stop() {
  if [ -n "${PRIVATE_SOUND_KEEPER_PID:-}" ]; then
    kill "$PRIVATE_SOUND_KEEPER_PID" 2>/dev/null || true
    wait "$PRIVATE_SOUND_KEEPER_PID" 2>/dev/null || true
    PRIVATE_SOUND_KEEPER_PID=
  fi
  if [ -n "${PRIVATE_SOUND_PID:-}" ]; then
    kill "$PRIVATE_SOUND_PID" 2>/dev/null || true
    local tries=0
    while kill -0 "$PRIVATE_SOUND_PID" 2>/dev/null && [ "$tries" -lt 50 ]; do
      tries=$((tries + 1))
      sleep 0.1
    done
    kill -KILL "$PRIVATE_SOUND_PID" 2>/dev/null || true
    PRIVATE_SOUND_PID=
  fi
  if [ -n "${PRIVATE_SOUND_DIR:-}" ]; then
    rm -rf "$PRIVATE_SOUND_DIR"
    PRIVATE_SOUND_DIR=
  fi
}
