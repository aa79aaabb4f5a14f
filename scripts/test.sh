#!/usr/bin/env bash
# Builds and runs every test, checks the floors of layers.txt (scripts/check-floors.py) and the
# Debian packages made of that build (scripts/check-package.sh), then builds and runs the non-GUI
# tests again under ASan + UBSan, then the Windows build's tests and its setup program under wine
# (scripts/test-windows.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# Warnings are errors here and in CI.
"$here/scripts/build.sh" "$here/build" -DQDQM_WERROR=ON
# No include may run back up a floor of layers.txt.
python3 "$here/scripts/check-floors.py"
export QT_QPA_PLATFORM=offscreen
(cd "$here/build" && ctest --output-on-failure -j "$(nproc)")
# The Debian packages made of that build's programs: contents, lintian, the programs run.
"$here/scripts/check-package.sh" "$here/build"
"$here/scripts/build.sh" "$here/build-asan" -DQDQM_WERROR=ON -DQDQM_SANITIZE=ON -DQDQM_GUI=OFF
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$here/build-asan" && ctest --output-on-failure -j "$(nproc)")
# The Windows programs under wine. The simulator and the data-file writer come from build/, built
# above; the settings meant for Qt and the sanitizers above stay out of wine's environment (wine
# passes the Linux environment on to the Windows programs).
env -u QT_QPA_PLATFORM -u ASAN_OPTIONS -u UBSAN_OPTIONS QDQM_HOST_BUILD="$here/build" \
  "$here/scripts/test-windows.sh"
