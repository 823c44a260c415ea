#!/usr/bin/env bash
# The Debian packages each purpose needs, and apt-get for those the machine lacks.
#
#   scripts/install-deps.sh [PURPOSE]       install what is missing (default: build)
#   scripts/install-deps.sh --list PURPOSE  print the packages, one a line
#                                           PURPOSE: build, demo, package, test or current
#   scripts/install-deps.sh --skipped-servers  the sound servers the tests will skip
#
# A sound server is never added next to one the machine already has: Debian enables every
# server's user units for all users, and two servers fight over the sound at the next login.
# Where none is installed, PulseAudio is. SYSAUDIO_INSTALL_BOTH_SERVERS=1 installs PulseAudio and
# PipeWire side by side so that the tests run against both (CI does this on its own machines).
set -euo pipefail

build=(g++ cmake make pkg-config libpulse-dev libspeexdsp-dev)
package=(dpkg-dev file)
# paplay, pactl and pacat: clients only, they bring no server.
demo_tools=(pulseaudio-utils espeak-ng sox python3)
test_tools=(
  libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format clang-tidy libclang-rt-14-dev
  pulseaudio-utils sox espeak-ng ffmpeg libsoxr-dev python3 python3-numpy groff-base
)
# `make test-current`: the tests' build without a sound server, and mmdebstrap for the Debian
# 13 root that the end-to-end tests run in, which brings its own (scripts/current-debian.sh).
current=(mmdebstrap)
pulseaudio_server=(pulseaudio)
pipewire_server=(pipewire pipewire-pulse wireplumber dbus-daemon)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

has_pulseaudio() { installed pulseaudio; }
has_pipewire() { installed pipewire-pulse; }

# The servers a purpose brings: the one the machine has, PulseAudio where it has none, both
# only when asked.
servers() {
  if [ "${SYSAUDIO_INSTALL_BOTH_SERVERS:-0}" = 1 ]; then
    printf '%s\n' "${pulseaudio_server[@]}" "${pipewire_server[@]}"
    return
  fi
  if has_pipewire; then printf '%s\n' "${pipewire_server[@]}"; fi
  if has_pulseaudio || ! has_pipewire; then printf '%s\n' "${pulseaudio_server[@]}"; fi
}

packages_for() {
  case "$1" in
    build) printf '%s\n' "${build[@]}" ;;
    package) printf '%s\n' "${build[@]}" "${package[@]}" ;;
    demo) printf '%s\n' "${build[@]}" "${demo_tools[@]}" && servers ;;
    test) printf '%s\n' "${build[@]}" "${package[@]}" "${test_tools[@]}" && servers ;;
    current) printf '%s\n' "${build[@]}" "${test_tools[@]}" "${current[@]}" ;;
    *)
      echo "install-deps: unknown purpose '$1' (build, demo, package, test or current)" >&2
      return 2
      ;;
  esac
}

# One line per server whose end-to-end tests will be skipped, for the test run's summary.
skipped_servers() {
  if ! has_pulseaudio; then
    echo "PulseAudio is not installed: its end-to-end tests were skipped"
  fi
  if ! has_pipewire; then
    echo "PipeWire (pipewire-pulse) is not installed: its end-to-end tests were skipped"
  fi
}

case "${1:-build}" in
  --list)
    packages_for "${2:?--list needs a purpose: build, demo, package, test or current}" | awk '!seen[$0]++'
    exit
    ;;
  --skipped-servers)
    skipped_servers
    exit
    ;;
esac

mapfile -t wanted < <(packages_for "${1:-build}" | awk '!seen[$0]++')
missing=()
for p in "${wanted[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
