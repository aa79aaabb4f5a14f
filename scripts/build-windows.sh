#!/usr/bin/env bash
# Cross-builds the Windows programs into build-windows/ (or the folder given): a static
# qdqm-update.exe with the native dialog and the terminal commands, qdqm-datafile.exe, and the
# unit, flow and dialog test programs. Installs the missing Debian packages first (mingw-w64 g++,
# wine and its fonts to run the tests).
# Extra arguments go to cmake's configure step.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$here/build-windows}
shift || true

"$here/scripts/setup-deps.sh" g++-mingw-w64-x86-64-posix wine64 fonts-wine cmake ninja-build \
  libgtest-dev libgmock-dev nlohmann-json3-dev

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# The Qt dialog is not cross-built: Debian has no Qt for Windows.
cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" -DQDQM_GUI=OFF "${launcher[@]}" "$@" >/dev/null
# shellcheck source=scripts/build-lock.sh
. "$here/scripts/build-lock.sh"
locked cmake --build "$dir" -j "$(nproc)"
