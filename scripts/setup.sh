#!/usr/bin/env bash
# Installs what building and testing need: the system libraries (Debian packages) and the
# Python packages. Safe to run again; skips what is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(g++ cmake ninja-build pkg-config libtbb-dev libopenblas-dev libgtest-dev)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 -m pip install -q -r requirements-dev.txt
