#!/usr/bin/env bash
# The demo: builds, lays out a program directory with synthetic update files, and shows the tool
# against simulated modules: the dialog when a display is available, otherwise `qdqm-update update`
# in the terminal, first on a QD21S (raw protocol, COM7), then on a QM41B (record protocol, COM8),
# each time comparing the simulator's flash with the image of the file that was flashed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/build.sh" "$here/build"
bin="$here/build"
run="$here/demo-run"
rm -rf "$run"
mkdir -p "$run/ports" "$run/images" "$run/program"
# A program directory as the tool expects it: the program beside its type directories.
cp "$bin/qdqm-update" "$run/program/"

# datafile TYPE TYPE-DIR FILE KIB SEED: a data file, and its image as qdqm-sim writes a flash.
datafile() {
  mkdir -p "$run/program/$2"
  "$bin/qdqm-datafile" --module "$1" --out "$run/program/$2/$3" --size $(($4 * 1024)) \
    --seed "$5" --image-out "$run/images/$2-$3.hex"
}
datafile QD21S QD21S_1 upd1.05 8 105
datafile QD21S QD21S_1 upd1.10 16 110
datafile QD21S QD21S_1 upd2.01 32 201
datafile QM41B QM41B_ upd1.05 8 1105
datafile QM41B QM41B_ upd3.02 16 1302

export QDQM_PORT_DIR="$run/ports"
sims=()
stop_sims() {
  for pid in "${sims[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  sims=()
}
trap stop_sims EXIT
# start_sim N FLASH-FILE SIM-OPTIONS...: a simulated module on COMN; its flash goes to FLASH-FILE
# when it stops.
start_sim() {
  local com=$1 flash=$2
  shift 2
  "$bin/qdqm-sim" --com "$com" --flash-out "$flash" "$@" >"$run/sim$com.out" &
  sims+=($!)
  for _ in $(seq 50); do [ -s "$run/sim$com.out" ] && break; sleep 0.1; done
  echo "Simulator: $(cat "$run/sim$com.out"): $*"
}
qd21s=(--module QD21S --version 1.05 --new-version 2.01 --bootloader 2.00 --hw 1 --top-speed 3)
qm41b=(--module QM41B --protocol record --version 1.05 --new-version 3.02 --top-speed 3)

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  start_sim 7 "$run/flash.hex" "${qd21s[@]}"
  start_sim 8 "$run/flash-qm41b.hex" "${qm41b[@]}"
  "$run/program/qdqm-update"
  exit
fi

failed=0
# round N TYPE-DIR FILE: updates the module on COMN, stops it, compares its flash with FILE's image.
round() {
  local com=$1 dir=$2 file=$3 flash=$4 status=0
  echo "\$ qdqm-update update --port $com --yes"
  "$run/program/qdqm-update" update --port "$com" --yes || status=$?
  stop_sims
  if [ "$status" -eq 0 ] && cmp -s "$flash" "$run/images/$dir-$file.hex"; then
    echo "Result: COM$com updated; its flash equals $dir/$file byte for byte."
  else
    echo "Result: COM$com FAILED: exit status $status; flash $flash vs $dir/$file: $(
      cmp "$flash" "$run/images/$dir-$file.hex" 2>&1 || true)"
    failed=1
  fi
  echo
}
start_sim 7 "$run/flash.hex" "${qd21s[@]}"
echo "\$ qdqm-update ports"
"$run/program/qdqm-update" ports
round 7 QD21S_1 upd2.01 "$run/flash.hex"
start_sim 8 "$run/flash-qm41b.hex" "${qm41b[@]}"
round 8 QM41B_ upd3.02 "$run/flash-qm41b.hex"
exit "$failed"
