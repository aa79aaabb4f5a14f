#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need (only missing ones), or
# the packages given as arguments.
set -euo pipefail
packages=(g++ cmake ninja-build qt6-base-dev libgtest-dev libgmock-dev nlohmann-json3-dev python3)
if (($#)); then packages=("$@"); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
