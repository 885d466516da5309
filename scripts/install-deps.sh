#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; quick when all are there.
set -euo pipefail
pkgs=(cmake ninja-build g++ libgtest-dev clang libclang-rt-14-dev procps
  # the desktop front end, and its tests on a private X display with a tray host
  qt6-base-dev libx11-dev xvfb xauth x11-utils xdotool trayer xclip fonts-dejavu-core fonts-liberation2
  # the Debian package: CPack's dependencies from the binaries, its inspection, the unit's check
  dpkg-dev fakeroot file systemd)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
