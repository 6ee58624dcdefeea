#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages.
# Usage: scripts/deps.sh [native|wine]
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-dev googletest libgtest-dev libgmock-dev python3 tshark libmodbus-dev
  pkg-config binutils)
if [[ "${1:-native}" == wine ]]; then
  packages+=(g++-mingw-w64-x86-64-posix wine64 wine)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
