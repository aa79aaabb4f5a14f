#!/usr/bin/env bash
# The flash benchmark: builds into build-bench/ (the default optimised build, without the dialog
# and the tests), then flashes a 64 KiB image through `qdqm-update update` and through the
# literal-cycle reference against `qdqm-sim --wire-timing`, at the module's top speed and at
# 19200 baud, in both protocols.
# Arguments go to qdqm-flash-bench (see its --help), e.g. --rates high --protocols raw.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${QDQM_BENCH_BUILD:-$here/build-bench}
"$here/scripts/build.sh" "$dir" -DQDQM_GUI=OFF -DBUILD_TESTING=OFF >/dev/null
"$dir/qdqm-flash-bench" "$@"
