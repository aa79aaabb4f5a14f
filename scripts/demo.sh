#!/usr/bin/env bash
# The demo: builds, starts a simulated module on COM7, and shows the tool against it: the dialog
# when a display is available, otherwise the terminal commands.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/build.sh" "$here/build"
run="$here/demo-run"
rm -rf "$run"
mkdir -p "$run/ports" "$run/program/QD21S_1"
# A program directory as the tool expects it: the program beside its type directories.
cp "$here/build/qdqm-update" "$run/program/"
for v in 1.05 1.10 2.01; do
  printf 'QD21S\r\n;\r\n;\r\n:00000001FF\r\n' >"$run/program/QD21S_1/upd$v"
done
export QDQM_PORT_DIR="$run/ports"
"$here/build/qdqm-sim" --com 7 --module QD21S --version 1.05 --bootloader 2.00 --hw 1 \
  --top-speed 3 >"$run/sim.out" &
sim=$!
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$run/sim.out" ] && break; sleep 0.1; done
echo "Simulator: $(cat "$run/sim.out")"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$run/program/qdqm-update"
else
  "$run/program/qdqm-update" ports
  "$run/program/qdqm-update" connect --port 7 || true
fi
