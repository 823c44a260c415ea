#!/usr/bin/env bash
# Installs, with apt-get, only the Debian packages this project needs and the machine lacks.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libspeexdsp-dev libpulse-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format clang-tidy libclang-rt-14-dev
  pulseaudio pulseaudio-utils
  sox espeak-ng ffmpeg libsoxr-dev python3-numpy
  python3 pipewire pipewire-pulse wireplumber dbus-daemon
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
