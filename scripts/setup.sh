#!/usr/bin/env bash
# Installs the Debian packages the build needs, and any named as arguments, only those missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev python3
          nlohmann-json3-dev libcli11-dev
          pkg-config libsndfile1-dev gnuplot-nox python3-pil fonts-dejavu-core)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  if [ "$(id -u)" != 0 ]; then sudo_cmd="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  # tshark would otherwise ask whether non-root users may capture.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo_cmd debconf-set-selections
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
