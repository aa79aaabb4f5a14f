#!/usr/bin/env bash
# The demo: builds, lays out a program directory with synthetic update files, and shows the tool
# against simulated modules: the dialog when a display is available, otherwise `qdqm-update update`
# in the terminal, one module after another, each time comparing what the simulator keeps (the
# controller flash, and the FPGA or MPEG decoder image) with the files that were sent.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/build.sh" "$here/build"
bin="$here/build"
run="$here/demo-run"
rm -rf "$run"
mkdir -p "$run/ports" "$run/images" "$run/program"
# A program directory as the tool expects it: the program beside its type directories.
cp "$bin/qdqm-update" "$run/program/"

# datafile TYPE TYPE-DIR FILE KIB SEED [FPGA-LINE MPEG-LINE]: a controller data file, and its
# image as qdqm-sim writes a flash.
datafile() {
  mkdir -p "$run/program/$2"
  "$bin/qdqm-datafile" --module "$1" --out "$run/program/$2/$3" --size $(($4 * 1024)) \
    --seed "$5" --fpga "${6:-;}" --mpeg "${7:-;}" --image-out "$run/images/$2-$3.hex"
}
# coprocessor TYPE-DIR SUBDIR FILE KIB SEED: an FPGA or decoder image in a folder of the type
# directory (named in the data file as SUBDIR\FILE).
coprocessor() {
  mkdir -p "$run/program/$1/$2"
  "$bin/qdqm-datafile" --image "$run/program/$1/$2/$3" --size $(($4 * 1024)) --seed "$5"
}
datafile QD21S QD21S_1 upd1.05 8 105
datafile QD21S QD21S_1 upd1.10 16 110
datafile QD21S QD21S_1 upd2.01 32 201
datafile QM41B QM41B_ upd1.05 8 1105
datafile QM41B QM41B_ upd3.02 16 1302
# Modules with coprocessors: an MPEG decoder updated in CRC-32 frames (QM292) and in CRC-16
# frames (QM492, record protocol), an FPGA behind the update mode (QM23_) and one reached through
# a controller record (QD29E, whose decoder then takes the swid stage). The file names carry the
# versions the tool compares.
datafile QM292 QM292_ upd2.01 8 2292 ";" 'mpeg\QM292_2_01.bin'
coprocessor QM292_ mpeg QM292_2_01.bin 16 3292
datafile QM492 QM492_ upd2.01 8 2492 ";" 'mpeg\mpg492$2_01.bin'
coprocessor QM492_ mpeg 'mpg492$2_01.bin' 16 3492
datafile QM23_ QM23__ upd2.01 8 2023 ";" 'fpga\fpga23$2_01.bin'
coprocessor QM23__ fpga 'fpga23$2_01.bin' 4 3023
datafile QD29E QD29E_ upd2.01 8 2029 'fpga\fpga29e$2_01.bin' 'mpeg\mpg29e$2_01.bin'
coprocessor QD29E_ fpga 'fpga29e$2_01.bin' 4 3029
coprocessor QD29E_ mpeg 'mpg29e$2_01.bin' 16 4029
# Decoders the tool talks to directly: swid (QD20A), VERS (QD22A, 9600 baud even parity) and the
# decoder's boot loader (QD09T, 57600 baud).
datafile QD20A QD20A_1 upd2.01 8 2020 ";" 'mpeg\mpg20a$2_01.bin'
coprocessor QD20A_1 mpeg 'mpg20a$2_01.bin' 16 3020
datafile QD22A QD22A_ upd2.01 8 2022 ";" 'mpeg\V2_01.bin'
coprocessor QD22A_ mpeg V2_01.bin 16 3022
datafile QD09T QD09T_1 upd2.01 8 2009 1 'mpeg\QD09.v201'
coprocessor QD09T_1 mpeg QD09.v201 16 3009
# Plug-in modules of the base unit share the type directories above; QM21_ has its own.
datafile QM21_ QM21__ upd2.01 8 2021

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
# await_sim COM PID: waits until the simulator PID says it serves COM (its first line), up to two
# minutes; a simulator that ended or stayed silent ends the demo.
await_sim() {
  local out=$run/sim$1.out end=$((SECONDS + 120))
  until [ -s "$out" ]; do
    if ! kill -0 "$2" 2>/dev/null || [ "$SECONDS" -ge "$end" ]; then
      echo "qdqm-sim for COM$1 did not start: $(cat "$out")" >&2
      exit 1
    fi
    sleep 0.05
  done
}
# start_sim N SIM-OPTIONS...: a simulated module on COMN; on exit it writes its controller flash
# to demo-run/comN.flash.hex and its FPGA and decoder images to comN.fpga / comN.decoder.
start_sim() {
  local com=$1
  shift
  "$bin/qdqm-sim" --com "$com" --flash-out "$run/com$com.flash.hex" \
    --fpga-out "$run/com$com.fpga" --decoder-out "$run/com$com.decoder" "$@" >"$run/sim$com.out" &
  sims+=($!)
  await_sim "$com" $!
  echo "Simulator: $(cat "$run/sim$com.out"): $*"
}
qd21s=(--module QD21S --version 1.05 --new-version 2.01 --bootloader 2.00 --hw 1 --top-speed 3)
qm41b=(--module QM41B --protocol record --version 1.05 --new-version 3.02 --top-speed 3)
# The coprocessors report version 1.05 and 2.01 once they run the new image.
coproc=(--coproc-version 1.05 --coproc-new-version 2.01)
qm292=(--module QM292 --version 1.05 --new-version 2.01 --top-speed 3 "${coproc[@]}")
qm492=(--module QM492 --protocol record --version 1.05 --new-version 2.01 --top-speed 3
  "${coproc[@]}")
qm23=(--module QM23_ --version 1.05 --new-version 2.01 --top-speed 3 "${coproc[@]}")
qd29e=(--module QD29E --version 1.05 --new-version 2.01 --top-speed 3 --fpga-version 0105
  --fpga-new-version 0201 --decoder-version 1.05 --decoder-new-version 2.01)
qd20a=(--module QD20A --hw 1 --version 1.05 --new-version 2.01 --top-speed 3
  --decoder-version 1.05 --decoder-new-version 2.01)
qd22a=(--module QD22A --version 1.05 --new-version 2.01 --top-speed 3
  --decoder-version V1.05 --decoder-new-version V2.01)
qd09t=(--module QD09T --hw 1 --version 1.05 --new-version 2.01 --top-speed 3
  --decoder-version v100 --decoder-new-version v201)

# A QM65B on COM16: a raw QM21_ (controller only), a record-protocol QM492 with its decoder
# (CRC-16 frames), a QM292 with its decoder (CRC-32 frames), an empty slot 4, a QM37_ that cannot
# be updated, and modules that cannot be updated in slots 6-9. Each slot module writes its
# controller flash and decoder to demo-run/com16-slotK.*.
base=()
base_slot() {
  local k=$1
  shift
  base+=(--slot "$k=$1" "${@:2}" --flash-out "$run/com16-slot$k.flash.hex"
    --decoder-out "$run/com16-slot$k.decoder")
}
base_slot 1 QM21_ --version 1.05 --new-version 2.01
base_slot 2 QM492 --protocol record --version 1.05 --new-version 2.01 "${coproc[@]}"
base_slot 3 QM292 --version 1.05 --new-version 2.01 "${coproc[@]}"
base+=(--slot 5=QM37_ --slot 6=QM61_ --slot 7=QM37_ --slot 8=QM66A --slot 9=QM37_)
start_base_unit() {
  "$bin/qdqm-sim" --com 16 --base-unit B "${base[@]}" >"$run/sim16.out" &
  sims+=($!)
  await_sim 16 $!
  echo "Simulator: $(cat "$run/sim16.out"): QM65B with QM21_, QM492, QM292, empty, QM37_, ..."
}

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  start_sim 7 "${qd21s[@]}"
  start_sim 8 "${qm41b[@]}"
  start_sim 9 "${qm292[@]}"
  start_sim 10 "${qm23[@]}"
  start_sim 11 "${qm492[@]}"
  start_sim 12 "${qd29e[@]}"
  start_sim 13 "${qd20a[@]}"
  start_sim 14 "${qd22a[@]}"
  start_sim 15 "${qd09t[@]}"
  start_base_unit
  echo "Ports: COM7 QD21S, COM8 QM41B, COM9 QM292, COM10 QM23_, COM11 QM492, COM12 QD29E,"
  echo "       COM13 QD20A, COM14 QD22A, COM15 QD09T, COM16 a QM65B base unit (check"
  echo "       \"Update QM2x/4x\" before Connect)"
  "$run/program/qdqm-update"
  exit
fi

failed=0
# same WHAT FILE EXPECTED: compares what the simulator kept with what was sent.
same() {
  if cmp -s "$2" "$3"; then
    echo "  $1 equals $(basename "$3") byte for byte"
  else
    echo "  $1 DIFFERS from $(basename "$3"): $(cmp "$2" "$3" 2>&1 || true)"
    return 1
  fi
}
# verdict N OK WHAT: "Result: COMN WHAT" when OK is 1, else FAILED (and the demo fails).
verdict() {
  if [ "$2" -eq 1 ]; then echo "Result: COM$1 $3"; else echo "Result: COM$1 FAILED"; fi
  [ "$2" -eq 1 ] || failed=1
  echo
}
# round N TYPE-DIR FILE [fpga|decoder COPROCESSOR-FILE]...: updates the module on COMN, stops it,
# compares its controller flash with FILE's image and each FPGA or decoder with its file.
round() {
  local com=$1 dir=$2 file=$3 status=0 ok=1
  shift 3
  echo "\$ qdqm-update update --port $com --yes"
  "$run/program/qdqm-update" update --port "$com" --yes || status=$?
  stop_sims
  echo "Result: COM$com exit status $status"
  [ "$status" -eq 0 ] || ok=0
  same "controller flash" "$run/com$com.flash.hex" "$run/images/$dir-$file.hex" || ok=0
  while [ $# -ge 2 ]; do
    same "$1" "$run/com$com.$1" "$run/program/$dir/$2" || ok=0
    shift 2
  done
  verdict "$com" "$ok" updated
}
start_sim 7 "${qd21s[@]}"
echo "\$ qdqm-update ports"
"$run/program/qdqm-update" ports
round 7 QD21S_1 upd2.01
start_sim 8 "${qm41b[@]}"
round 8 QM41B_ upd3.02
start_sim 9 "${qm292[@]}"
round 9 QM292_ upd2.01 decoder mpeg/QM292_2_01.bin
start_sim 10 "${qm23[@]}"
round 10 QM23__ upd2.01 fpga 'fpga/fpga23$2_01.bin'
start_sim 11 "${qm492[@]}"
round 11 QM492_ upd2.01 decoder 'mpeg/mpg492$2_01.bin'
start_sim 12 "${qd29e[@]}"
round 12 QD29E_ upd2.01 fpga 'fpga/fpga29e$2_01.bin' decoder 'mpeg/mpg29e$2_01.bin'
start_sim 13 "${qd20a[@]}"
round 13 QD20A_1 upd2.01 decoder 'mpeg/mpg20a$2_01.bin'
start_sim 14 "${qd22a[@]}"
round 14 QD22A_ upd2.01 decoder mpeg/V2_01.bin
start_sim 15 "${qd09t[@]}"
round 15 QD09T_1 upd2.01 decoder mpeg/QD09.v201
start_base_unit
echo "\$ qdqm-update update --port 16 --base-unit --yes"
status=0
"$run/program/qdqm-update" update --port 16 --base-unit --yes || status=$?
stop_sims
echo "Result: COM16 exit status $status"
ok=1
[ "$status" -eq 0 ] || ok=0
same "slot 1 controller flash" "$run/com16-slot1.flash.hex" "$run/images/QM21__-upd2.01.hex" || ok=0
same "slot 2 controller flash" "$run/com16-slot2.flash.hex" "$run/images/QM492_-upd2.01.hex" || ok=0
same "slot 2 decoder" "$run/com16-slot2.decoder" "$run/program/QM492_/mpeg/mpg492\$2_01.bin" || ok=0
same "slot 3 controller flash" "$run/com16-slot3.flash.hex" "$run/images/QM292_-upd2.01.hex" || ok=0
same "slot 3 decoder" "$run/com16-slot3.decoder" "$run/program/QM292_/mpeg/QM292_2_01.bin" || ok=0
verdict 16 "$ok" "updated slot by slot"
if [ "$failed" -eq 0 ]; then echo "Demo: every module updated and compared."; fi
exit "$failed"
