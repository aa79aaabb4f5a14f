#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang and libFuzzer (ASan + UBSan) into build-fuzz/ and runs
# each for SECONDS (default 60), from the committed corpus fuzz/corpus/<target>/ and a local one,
# build-fuzz/corpus/<target>/, which keeps the new interesting inputs. Prints the executions and
# findings per target; findings (crash-*, leak-*, timeout-*, oom-*) go to build-fuzz/findings/.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
# The build and every run hold the shared build lock ($QDQM_BUILD_LOCK, default
# /tmp/qdqm-build.lock), a run at most $QDQM_FUZZ_CHUNK seconds (default 180) at a time, so other
# builds on the machine wait between chunks rather than compete with the fuzzer.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
lock=${QDQM_BUILD_LOCK:-/tmp/qdqm-build.lock}
chunk=${QDQM_FUZZ_CHUNK:-180}
dir=$here/build-fuzz

"$here/scripts/setup-deps.sh"
if ! command -v clang++ >/dev/null; then
  echo "Installing: clang"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends clang
fi

targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in "$here"/fuzz/*_fuzz.cpp; do
    name=$(basename "$f" .cpp)
    targets+=("${name%_fuzz}")
  done
fi

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
flock "$lock" cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DQDQM_FUZZ=ON -DQDQM_GUI=OFF -DBUILD_TESTING=OFF \
  "${launcher[@]}" >/dev/null
flock "$lock" cmake --build "$dir" -j2 --target "${targets[@]/#/fuzz_}"

total=0
failed=0
report=()
for t in "${targets[@]}"; do
  corpus=$dir/corpus/$t
  findings=$dir/findings/$t
  mkdir -p "$corpus" "$findings"
  touch "$findings/.start"
  execs=0
  left=$seconds
  while ((left > 0)); do
    run=$((left < chunk ? left : chunk))
    log=$dir/fuzz-$t.log
    status=0
    flock "$lock" "$dir/fuzz/fuzz_$t" -max_total_time="$run" -print_final_stats=1 -timeout=10 \
      -rss_limit_mb=2048 -artifact_prefix="$findings/" "$corpus" "$here/fuzz/corpus/$t" \
      >"$log" 2>&1 || status=$?
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    execs=$((execs + ${n:-0}))
    left=$((left - run))
    if ((status != 0)); then
      echo "fuzz_$t stopped (status $status); see $log" >&2
      break
    fi
  done
  found=$(find "$findings" -type f -newer "$findings/.start" \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
    -o -name 'oom-*' \) | wc -l)
  ((found == 0)) || failed=1
  total=$((total + execs))
  report+=("$(printf '%-16s %12d execs %6d findings %6d corpus' "$t" "$execs" "$found" \
    "$(find "$corpus" -type f | wc -l)")")
done
echo "fuzzing $(date -u +%Y-%m-%d), ${seconds} s per target:"
printf '%s\n' "${report[@]}"
printf '%-16s %12d execs\n' "total" "$total"
exit "$failed"
