#!/usr/bin/env bash
# Runs a command in a root of Debian 13, today's stable release, whose sound servers are
# PipeWire 1.4 with WirePlumber 0.5, and PulseAudio 17, whatever Debian this machine runs:
#
#   scripts/current-debian.sh [--mount DIR]... -- COMMAND...      (as root)
#
# `make test-current` runs the build's end-to-end tests so (`ctest -L e2e`: the same harness,
# groups and binary as `make test`); bench/latency runs the same way. The command runs in the
# current directory, with the repository and each DIR (a build directory outside it) mounted at
# their own paths, so that paths and binaries built here work there unchanged.
#
# The root is built once with mmdebstrap (about a minute and 550 MB) and kept in
# SYSAUDIO_CURRENT_ROOT (default /var/cache/sysaudio-trixie); it is built again only when the
# package list below changes. The mounts (/proc, /dev, a fresh /tmp, the repository) are made
# in a mount namespace of the command's own: they are gone when it ends, whichever way it ends.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  exec sudo --preserve-env=SYSAUDIO_CURRENT_ROOT "$0" "$@"
fi

repo=$(realpath "$(dirname "$0")/..")
root=${SYSAUDIO_CURRENT_ROOT:-/var/cache/sysaudio-trixie}
suite=trixie
# The servers and their clients, python3-numpy for the harness, ctest to run it.
packages=pipewire,pipewire-pulse,wireplumber,pulseaudio,pulseaudio-utils,dbus-daemon,python3
packages+=,python3-numpy,procps,libpulse0,libspeexdsp1,cmake
# The steady players of bench/latency --inputs N.
packages+=,ffmpeg
stamp="$suite $packages"

inside=false
mounts=("$repo")
while [ $# -gt 0 ]; do
  case "$1" in
    --inside) inside=true ;;
    --mount) mounts+=("$(realpath "$2")") && shift ;;
    --) shift && break ;;
    *) echo "usage: current-debian.sh [--mount DIR]... -- COMMAND..." >&2 && exit 2 ;;
  esac
  shift
done
[ $# -gt 0 ] || { echo "current-debian.sh: no command" >&2 && exit 2; }

# Built under a lock and moved into place whole: a run that is interrupted, or two runs at
# once, never leave or use half a root.
build_root() {
  exec {lock}>"$root.lock"
  flock "$lock"
  if [ "$(cat "$root/.sysaudio-root" 2>/dev/null)" != "$stamp" ]; then
    echo "current-debian: building the Debian 13 root in $root (once)" >&2
    rm -rf "$root.new"
    mmdebstrap --quiet --variant=apt --include="$packages" "$suite" "$root.new" \
      http://deb.debian.org/debian
    echo "$stamp" >"$root.new/.sysaudio-root"
    rm -rf "$root"
    mv "$root.new" "$root"
  fi
  exec {lock}>&-
}

versions() {
  # shellcheck disable=SC2016 # expanded by the shell in the root
  chroot "$root" sh -c '. /etc/os-release && printf "%s %s" "$NAME" "$(cat /etc/debian_version)"
    dpkg-query -W -f=", \${Package} \${Version}" pipewire wireplumber pulseaudio'
}

# Inside the private mount namespace. The explicit unmount is for tidiness only: the
# namespace takes its mounts with it.
run_inside() {
  trap 'umount --recursive --lazy "${mounts[@]/#/$root}" "$root"/{proc,dev,tmp} 2>/dev/null || true' EXIT
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  for dir in "${mounts[@]}"; do
    mkdir -p "$root$dir"
    mount --bind "$dir" "$root$dir"
  done
  chroot "$root" /usr/bin/env -i --chdir="$PWD" PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 PYTHONDONTWRITEBYTECODE=1 "$@"
}

if $inside; then
  run_inside "$@"
  exit
fi

build_root
ran_on=$(versions)
echo "current-debian: on $ran_on: $*"
started=$(date +%s)
status=0
mount_args=()
for dir in "${mounts[@]:1}"; do mount_args+=(--mount "$dir"); done
unshare --mount --propagation private "$0" --inside "${mount_args[@]}" -- "$@" || status=$?
echo "current-debian: ran on $ran_on; $(($(date +%s) - started)) s, status $status"
exit $status
