#!/usr/bin/env bash
# The stations benchmark: N simulated modules with wire timing (`qdqm-sim --wire-timing`, raw QD21S
# at 115200 baud, a KIB KiB image each), every one updated alone, one after another, then all at
# once by one `qdqm-update update --port 1 ... --port N`. Prints the longest single run, the wall
# time of the stations run and their ratio (target: at most 1.10), and the CPU time of the stations
# process as a share of one core per station (target: at most 5 %); every flash is compared with
# its image.
#   bench/stations.sh BUILD-DIR [N] [KIB]      (scripts/bench.sh stations [N] [KIB])
set -euo pipefail
build=${1:?build folder}
stations=${2:-8}
kib=${3:-32}
run=$(mktemp -d /tmp/qdqm-stations-bench-XXXXXX)
sims=()
cleanup() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT
mkdir -p "$run/program/QD21S_1" "$run/ports" "$run/state"
cp "$build/qdqm-update" "$run/program/"
"$build/qdqm-datafile" --module QD21S --out "$run/program/QD21S_1/upd2.01" --size $((kib * 1024)) \
  --seed 7 --image-out "$run/image.hex" >/dev/null
export QDQM_PORT_DIR=$run/ports XDG_STATE_HOME=$run/state
for ((k = 1; k <= stations; ++k)); do
  "$build/qdqm-sim" --com "$k" --module QD21S --version 1.05 --hw 1 --top-speed 3 --wire-timing \
    --flash-out "$run/flash$k.hex" >/dev/null 2>&1 &
  sims+=($!)
done
for ((k = 1; k <= stations; ++k)); do
  for _ in $(seq 1200); do [ -L "$run/ports/COM$k" ] && break; sleep 0.1; done
done

now() { date +%s.%N; }
longest=0
for ((k = 1; k <= stations; ++k)); do
  start=$(now)
  "$run/program/qdqm-update" update --port "$k" --yes >/dev/null 2>&1 ||
    { echo "station $k alone: the update failed" >&2; exit 1; }
  took=$(echo "$(now) - $start" | bc -l)
  if (($(echo "$took > $longest" | bc -l))); then longest=$took; fi
done
# The modules restart after their flash: the last one's quiet time has passed before they start.
sleep 2

ports=()
for ((k = 1; k <= stations; ++k)); do ports+=(--port "$k"); done
TIMEFORMAT='%R %U %S'
{ times=$( { time "$run/program/qdqm-update" update "${ports[@]}" --yes >"$run/out.txt" \
  2>"$run/err.txt"; } 2>&1); } || { echo "stations run failed:" >&2; cat "$run/err.txt" >&2; exit 1; }
read -r wall user sys <<<"$times"

for pid in "${sims[@]}"; do kill "$pid"; done
wait 2>/dev/null || true
sims=()
for ((k = 1; k <= stations; ++k)); do
  cmp -s "$run/flash$k.hex" "$run/image.hex" || { echo "station $k: flash differs" >&2; exit 1; }
done
ratio=$(echo "$wall / $longest" | bc -l)
cpu=$(echo "100 * ($user + $sys) / $wall / $stations" | bc -l)
printf 'stations %d, %d KiB each, raw QD21S at 115200 baud with wire timing\n' "$stations" "$kib"
printf 'longest single run      %8.2f s\n' "$longest"
printf 'all at once (wall)      %8.2f s   ratio %.3f (target 1.10)\n' "$wall" "$ratio"
printf 'CPU of the process      %8.2f s   %.2f %% of one core per station (target 5 %%)\n' \
  "$(echo "$user + $sys" | bc -l)" "$cpu"
printf 'every flash equal to its image\n'
(($(echo "$ratio <= 1.10 && $cpu <= 5" | bc -l)))
