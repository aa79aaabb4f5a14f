#!/usr/bin/env bash
# Builds qdqm-update and saves a picture of the freshly opened dialog (offscreen Qt platform, so
# no display is needed) to docs/dialog.png, or to the file given.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/docs/dialog.png}
build=${QDQM_BUILD_DIR:-$here/build}
"$here/scripts/setup-deps.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target qdqm-update -j "$(nproc)"
ports=$(mktemp -d)
trap 'rm -rf "$ports"' EXIT
mkdir -p "$(dirname "$out")"
QT_QPA_PLATFORM=offscreen QDQM_PORT_DIR="$ports" QDQM_SCREENSHOT="$out" "$build/qdqm-update"
echo "saved $out"
