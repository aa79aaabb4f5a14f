#!/usr/bin/env bash
# The Debian packages, checked (part of scripts/test.sh): scripts/package.sh packs the programs of
# a build folder that is already built (default build/) into a temporary folder, and lintian must
# report no error there; then each package must hold what a user needs (dpkg-deb -c), its
# programs stripped and nothing but them in /usr/bin, the desktop entry must validate, and the
# programs extracted from the packages (dpkg-deb -x) must run from there.
#   scripts/check-package.sh [BUILD-DIR]
# Exit status 0 when every check passed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
start=$SECONDS
tmp=$(mktemp -d /tmp/qdqm-package-check.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

if ! "$here/scripts/package.sh" --from "$build" --out "$tmp" >"$tmp/package.log" 2>&1; then
  echo "packages FAILED:"
  cat "$tmp/package.log"
  exit 1
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
status=0
fail() {
  echo "packages FAILED: $*"
  status=1
}

# package  path in it
contents=(
  "qdqm-update ./usr/bin/qdqm-update"
  "qdqm-update ./usr/share/applications/qdqm-update.desktop"
  "qdqm-update ./usr/share/icons/hicolor/48x48/apps/qdqm-update.png"
  "qdqm-update ./usr/share/icons/hicolor/scalable/apps/qdqm-update.svg"
  "qdqm-update ./usr/share/man/man1/qdqm-update.1.gz"
  "qdqm-update ./usr/share/doc/qdqm-update/copyright"
  "qdqm-update ./usr/share/doc/qdqm-update/changelog.gz"
  "qdqm-sim ./usr/bin/qdqm-sim"
  "qdqm-sim ./usr/bin/qdqm-datafile"
  "qdqm-sim ./usr/share/man/man1/qdqm-sim.1.gz"
  "qdqm-sim ./usr/share/man/man1/qdqm-datafile.1.gz"
  "qdqm-sim ./usr/share/doc/qdqm-sim/copyright"
)
for package in qdqm-update qdqm-sim; do
  deb=$tmp/${package}_${version}_amd64.deb
  [ -f "$deb" ] || fail "no $deb"
  dpkg-deb -c "$deb" | awk '{print $6}' >"$tmp/$package.list"
  dpkg-deb -x "$deb" "$tmp/root"
done
for entry in "${contents[@]}"; do
  read -r package path <<<"$entry"
  grep -qxF "$path" "$tmp/$package.list" || fail "$path is not in $package"
done
# Only the programs a user runs: no test, benchmark or fuzz program.
programs=$(find "$tmp/root/usr/bin" -mindepth 1 -printf '%f\n' | sort | tr '\n' ' ')
[ "$programs" = "qdqm-datafile qdqm-sim qdqm-update " ] || fail "/usr/bin holds: $programs"
for program in "$tmp/root/usr/bin/"*; do
  file -b "$program" | grep -q ', stripped' || fail "${program##*/} is not stripped"
done
desktop-file-validate "$tmp/root/usr/share/applications/qdqm-update.desktop" ||
  fail "desktop entry"

# program  arguments  what stdout must begin with
runs=(
  "qdqm-update --version $version"
  "qdqm-sim --help usage: qdqm-sim"
  "qdqm-datafile --help usage: qdqm-datafile"
)
for run in "${runs[@]}"; do
  read -r program argument expected <<<"$run"
  output=$("$tmp/root/usr/bin/$program" "$argument" 2>&1) || fail "$program $argument: exit $?"
  [[ $output == "$expected"* ]] || fail "$program $argument printed: $output"
done

warnings=$(grep -c '^W: ' "$tmp/package.log" || true)
if ((status == 0)); then
  echo "packages: qdqm-update and qdqm-sim ${version}, contents and programs as expected, lintian" \
    "without errors ($warnings warnings) ($((SECONDS - start)) s)"
else
  cat "$tmp/package.log"
fi
exit $status
