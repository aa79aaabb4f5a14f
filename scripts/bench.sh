#!/usr/bin/env bash
# The benchmarks: builds into build-bench/ (the default optimised build, without the dialog and
# the tests), then runs one of them against `qdqm-sim --wire-timing`:
#   scripts/bench.sh [options]         the flash benchmark: a 64 KiB image through
#       `qdqm-update update` and through the literal-cycle reference, at the module's top speed
#       and at 19200 baud, in both protocols. Options go to qdqm-flash-bench (see its --help),
#       e.g. --rates high --protocols raw.
#   scripts/bench.sh coproc [options]  the coprocessor benchmark: a 256 KiB MPEG decoder image
#       (CRC-32 frame stage, QM292) and a 64 KiB FPGA image (QM23_) in 64-byte data frames at
#       19200 baud, then the decoders the controller routes the line to: swid (QD20A, 256 KiB in
#       128-byte writes at 19200 baud), VERS (QD22A, 64 KiB in 8-byte writes at 9600 baud, even
#       parity) and the decoder boot loader (QD09T, 256 KiB at 57600 baud, one-byte writes, with
#       4064-byte and with 32768-byte blocks). Options go to qdqm-coproc-bench (see its --help),
#       e.g. --stages fpga or --stages bootloader --loader-versions 0.90.
#   scripts/bench.sh base [options]    the base-unit benchmark: `qdqm-update update --base-unit`
#       flashing the controllers of eight modules in a simulated QM65B (raw QM21_ modules in slots
#       1-8, each a 16 KiB image through its slot, a QM37_ in slot 9). Options go to
#       qdqm-base-bench (see its --help), e.g. --kib 4 or --qm492 2.
#   scripts/bench.sh stations [N] [KIB]  stations: N raw QD21S (default 8) with a KIB KiB image
#       (default 32) each, every one updated alone, then all at once by one command
#       (bench/stations.sh): the ratio of the stations run's wall time to the longest single run
#       and the process's CPU per station.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${QDQM_BENCH_BUILD:-$here/build-bench}
"$here/scripts/build.sh" "$dir" -DQDQM_GUI=OFF -DBUILD_TESTING=OFF >/dev/null
program=qdqm-flash-bench
case ${1:-} in
  stations)
    shift
    "$here/scripts/setup-deps.sh" bc
    exec "$here/bench/stations.sh" "$dir" "$@"
    ;;
  coproc | base)
    program=qdqm-$1-bench
    shift
    ;;
esac
exec "$dir/$program" "$@"
