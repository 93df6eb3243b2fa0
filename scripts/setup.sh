#!/usr/bin/env bash
# Installs what Tarvik needs to build and test on Debian 12 (run as root).
# Does nothing when everything is already there.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libgtest-dev libcli11-dev fuse3 libfuse3-dev
          nlohmann-json3-dev libssl-dev qt6-base-dev xvfb xauth python3 clang libclang-rt-14-dev help2man tzdata
          libavformat-dev libavcodec-dev libswscale-dev  # streams: probing, MP4 copies, previews
          libewf-dev ewf-tools libssl-dev)  # split raw and E01 images
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
