#!/usr/bin/env bash
# Builds the Windows deliveries into dist/:
#   qdqm-update-<version>-win64.zip        the portable copy: a folder with the static
#                                          qdqm-update.exe and README.txt
#   qdqm-update-<version>-setup.exe        the setup program (NSIS, packaging/windows/qdqm-update.nsi):
#                                          Program Files, Start-menu entry, uninstaller
# from a Release cross-build of qdqm-update.exe in build-windows-package/ (no tests), installed
# stripped by its `cmake --install` rules.
#
#   scripts/package-windows.sh [--from BUILD-DIR] [--out DIR]
#     --from  pack the qdqm-update.exe of a Windows build folder that is already built instead
#             (scripts/test-windows.sh passes build-windows/)
#     --out   where the files go (default dist/)
# Installs the missing Debian packages first (mingw-w64 through scripts/build-windows.sh, nsis,
# zip).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
from=
out=$here/dist
while (($#)); do
  case $1 in
    --from) from=$(cd "$2" && pwd); shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "usage: scripts/package-windows.sh [--from BUILD-DIR] [--out DIR]" >&2; exit 64 ;;
  esac
done
"$here/scripts/setup-deps.sh" nsis zip

build=${from:-$here/build-windows-package}
if [ -z "$from" ]; then
  "$here/scripts/build-windows.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
else
  # The build folder's configuration may be older than the install rules.
  cmake "$build" >/dev/null
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=qdqm-update-$version-win64

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/$name" --component update --strip >/dev/null
mkdir -p "$out"
out=$(cd "$out" && pwd)

rm -f "$out/$name.zip"
(cd "$stage" && zip -qrX "$out/$name.zip" "$name")
echo "$out/$name.zip"

makensis -V2 -DVERSION="$version" -DSTAGE="$stage/$name" \
  -DOUTFILE="$out/qdqm-update-$version-setup.exe" \
  -DSIZE_KIB="$(du -sk "$stage/$name" | cut -f1)" "$here/packaging/windows/qdqm-update.nsi"
echo "$out/qdqm-update-$version-setup.exe"
