#!/usr/bin/env bash
# Builds the dialog and saves two pictures on Qt's offscreen platform (no display needed):
# docs/dialog.png, the freshly opened dialog, and docs/dialog-base-unit.png, the dialog after an
# update run of a simulated QM65B: one slot updated (green), one failed (red), one unticked and
# one not updatable (grey), one whose data file is for another module (default colours).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${QDQM_BUILD_DIR:-$here/build}
"$here/scripts/setup-deps.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target qdqm-update qdqm-dialog-shot qdqm-sim qdqm-datafile -j "$(nproc)"
work=$(mktemp -d)
sim=
cleanup() {
  [ -n "$sim" ] && kill -TERM "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/ports" "$work/program" "$here/docs"
export QT_QPA_PLATFORM=offscreen QDQM_PORT_DIR="$work/ports"
QDQM_SCREENSHOT="$here/docs/dialog.png" "$build/qdqm-update"
echo "saved $here/docs/dialog.png"

# The program directory of the base-unit run: the tool beside its type directories.
cp "$build/qdqm-dialog-shot" "$work/program/"
datafile() {
  mkdir -p "$work/program/$2"
  "$build/qdqm-datafile" --module "$1" --out "$work/program/$2/$3" --size 2048 >/dev/null
}
datafile QM21_ QM21__ upd2.01
datafile QM20C QM20C_ upd2.01
datafile QM21_ QM292_ upd2.01  # for another module: refused before anything is sent
"$build/qdqm-sim" --com 7 --base-unit B --slot 1=QM21_ --version 1.05 \
  --slot 2=QM20C --version 1.05 --fault refuse=3:P --slot 3=QM37_ --slot 4=QM21_ \
  --version 1.05 --slot 5=QM292 --version 1.05 --slot 6=QM61_ --slot 7=QM37_ --slot 8=QM66A \
  --slot 9=QM37_ >"$work/sim.out" &
sim=$!
# Its port as soon as it is there, up to two minutes; a simulator that ended is not waited for.
end=$((SECONDS + 120))
until [ -e "$work/ports/COM7" ] || ! kill -0 "$sim" 2>/dev/null || [ "$SECONDS" -ge "$end" ]; do
  sleep 0.05
done
"$work/program/qdqm-dialog-shot" "$here/docs/dialog-base-unit.png" --port 7 --base-unit \
  --skip 4 --update 2>"$work/boxes.txt"
echo "saved $here/docs/dialog-base-unit.png"
