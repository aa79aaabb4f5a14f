#!/usr/bin/env bash
# The Windows build under wine: cross-builds the programs and the unit and flow suites
# (scripts/build-windows.sh), runs both suites under wine64, then flashes a controller end to end:
# qdqm-update.exe under wine against the Linux qdqm-sim on a pty that the wine prefix maps as a COM
# port, in the raw and in the record protocol, comparing the simulator's flash with the image of
# the data file. Exit status 0 when everything passed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
win=$here/build-windows
host=$here/build-wine-host
# shellcheck source=scripts/build-lock.sh
. "$here/scripts/build-lock.sh"
"$here/scripts/build-windows.sh" "$win" -DQDQM_WERROR=ON

# The simulator and the data-file writer run on Linux.
"$here/scripts/setup-deps.sh"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$here" -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQDQM_GUI=OFF \
  -DBUILD_TESTING=OFF -DQDQM_WERROR=ON "${launcher[@]}" >/dev/null
locked cmake --build "$host" -j "$(nproc)" --target qdqm-sim qdqm-datafile
# The simulators and wineserver (which outlives the last wine process by a few seconds) need not
# carry a lock this script inherited; whoever passed it down still holds it.
for fd in $(inherited_build_lock_fds); do exec {fd}<&-; done

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEPREFIX=$win/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -e "$WINEPREFIX/system.reg" ]; then
  echo "Making the wine prefix $WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1 || true
fi

status=0
for suite in unit flow; do
  log=$win/test_$suite.log
  if "$wine" "$win/test_$suite.exe" >"$log" 2>&1; then
    skipped=$(grep -E '^\[  SKIPPED \] [0-9]' "$log" | sed 's/, listed below://' || true)
    echo "test_$suite.exe: $(grep -E '^\[  PASSED  \]' "$log") $skipped"
  else
    echo "test_$suite.exe FAILED:"
    grep -E '^\[  FAILED  \]' "$log" || tail -20 "$log"
    status=1
  fi
done

run=$(mktemp -d /tmp/qdqm-wine-e2e.XXXXXX)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$run"
}
trap cleanup EXIT
export QDQM_PORT_DIR=$run/ports
mkdir -p "$run/program" "$run/images" "$QDQM_PORT_DIR"
cp "$win/qdqm-update.exe" "$run/program/"

# flash_once NAME COM TYPE TYPEDIR FILE SIZE SEED RECORD-BYTES SIM-OPTIONS...
flash_once() {
  local name=$1 com=$2 type=$3 typedir=$4 file=$5 size=$6 seed=$7 record=$8
  shift 8
  mkdir -p "$run/program/$typedir"
  "$host/qdqm-datafile" --module "$type" --out "$run/program/$typedir/$file" --size "$size" \
    --seed "$seed" --record-bytes "$record" --image-out "$run/images/$name.hex"
  "$host/qdqm-sim" --com "$com" --module "$type" "$@" --flash-out "$run/$name.flash" \
    >"$run/$name.sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [ -L "$QDQM_PORT_DIR/COM$com" ] && break; sleep 0.05; done
  ln -sfn "$(readlink "$QDQM_PORT_DIR/COM$com")" "$WINEPREFIX/dosdevices/com$com"
  local rc=0 start=$SECONDS
  (cd "$run/program" && "$wine" ./qdqm-update.exe update --port "$com" --yes \
    >"$run/$name.out" 2>"$run/$name.err") || rc=$?
  kill "$sim_pid" && wait "$sim_pid" 2>/dev/null || true
  sim_pid=
  rm -f "$WINEPREFIX/dosdevices/com$com"
  if [ "$rc" -eq 0 ] && cmp -s "$run/$name.flash" "$run/images/$name.hex"; then
    echo "e2e $name: flash equals the image ($((SECONDS - start)) s)"
  else
    echo "e2e $name FAILED (exit $rc):"
    cat "$run/$name.out" "$run/$name.err"
    status=1
  fi
}

flash_once raw 5 QD21S QD21S_1 upd2.01 8192 7 16 --version 1.05 --hw 1 --top-speed 3
flash_once record 6 QM41B QM41B_ upd2.01 6144 11 24 --protocol record --version 1.05 --top-speed 2

exit $status
