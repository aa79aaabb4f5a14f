#!/usr/bin/env bash
# The soak: update runs on the virtual clock against simulated modules of every kind of stage,
# each over a line that damages bytes at random, every run judged by the same invariants
# (docs/soak.md). Builds qdqm-soak into build-soak/ (or $QDQM_SOAK_BUILD) first.
#   scripts/soak.sh [RUNS] [SEED] [--list-silent]   RUNS runs (default 10000) drawn from SEED
#                                                   (default 1), then the tables of outcomes
#   scripts/soak.sh 1 SEED --run N [--trace]        run N of SEED alone: its faults, status
#                                                   lines, boxes and outcome (and its frames)
# A run that breaks an invariant is printed with the command that replays it. Exit status 0 when
# every run kept the invariants.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/build-lock.sh
source "$here/scripts/build-lock.sh"
"$here/scripts/setup-deps.sh" g++ cmake ninja-build libgtest-dev libgmock-dev nlohmann-json3-dev
dir=${QDQM_SOAK_BUILD:-$here/build-soak}
# The build's messages go to stderr: stdout carries the runs and the tables.
locked cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQDQM_GUI=OFF \
  -DQDQM_WERROR=ON >&2
locked cmake --build "$dir" --target qdqm-soak >&2
exec "$dir/qdqm-soak" "$@"
