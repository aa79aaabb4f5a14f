#!/usr/bin/env bash
# Builds the Debian packages into dist/:
#   qdqm-update_<version>_amd64.deb  qdqm-update, its desktop entry, icons and manual page
#   qdqm-sim_<version>_amd64.deb     qdqm-sim and qdqm-datafile with their manual pages
# from a Release build of the three programs in build-package/ (no tests), compiled with Debian's
# hardening flags (dpkg-buildflags), installed by `cmake --install` rules and packed, stripped, by
# CPack's DEB generator with the dependencies dpkg-shlibdeps finds. Then lintian checks them; the
# exit status is not 0 when it reports an error.
#
#   scripts/package.sh [--from BUILD-DIR] [--out DIR]
#     --from  pack the programs of a build folder that is already built instead of building
#             build-package/ (scripts/check-package.sh passes build/)
#     --out   where the packages go (default dist/)
# Installs the missing Debian packages first.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
from=
out=$here/dist
while (($#)); do
  case $1 in
    --from) from=$(cd "$2" && pwd); shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "usage: scripts/package.sh [--from BUILD-DIR] [--out DIR]" >&2; exit 64 ;;
  esac
done
# dpkg-dev: dpkg-shlibdeps and dpkg-buildflags; file: CPack's search for programs to strip.
"$here/scripts/setup-deps.sh"
"$here/scripts/setup-deps.sh" dpkg-dev file lintian desktop-file-utils
# shellcheck source=scripts/build-lock.sh
. "$here/scripts/build-lock.sh"

build=${from:-$here/build-package}
if [ -z "$from" ]; then
  # Debian's flags for a package (stack protector, _FORTIFY_SOURCE, format checks, full RELRO
  # with immediate binding), without its -g and -O2: the programs are stripped, and the Release
  # build type brings -O3.
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  cxxflags=" $(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) "
  cxxflags=${cxxflags// -g / }
  cxxflags=${cxxflags// -O2 / }
  # CMAKE_SKIP_INSTALL_ALL_DEPENDENCY: installing (and CPack) needs only the three programs
  # built below, not the benchmarks and fuzz programs of the default target.
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
  locked cmake --build "$build" -j "$(nproc)" --target qdqm-update qdqm-sim qdqm-datafile
else
  # The build folder's configuration may be older than the install rules.
  cmake "$build" >/dev/null
fi

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
work=$build/cpack
rm -rf "$work"
# CPack runs the install rules into a staging folder of its own, strips and packs.
(cd "$build" && cpack -G DEB -B "$work" >"$build/cpack.log" 2>&1) || {
  cat "$build/cpack.log" >&2
  exit 1
}
mkdir -p "$out"
debs=()
for package in qdqm-update qdqm-sim; do
  deb=${package}_${version}_amd64.deb
  mv "$work/$deb" "$out/$deb"
  debs+=("$out/$deb")
done
rm -rf "$work"
for deb in "${debs[@]}"; do echo "$deb"; done

# lintian: every tag it reports, errors first; the exit status says whether there was an error.
lintian --fail-on error --display-info "${debs[@]}"
