# shellcheck shell=bash
# Sourced by the scripts that build. Where /tmp/qdqm-build.lock exists (a machine whose cores are
# shared), builds take turns on it: `locked CMD...` runs CMD holding the lock. A script started
# under `flock /tmp/qdqm-build.lock ...` (e.g. `flock /tmp/qdqm-build.lock .ci/run`) already holds
# it through the descriptor flock passed down; a second flock on the file would wait for ever on
# its own caller, so then CMD runs as it is.
build_lock=/tmp/qdqm-build.lock

# The numbers of the descriptors this shell inherited on the lock file, one a line.
inherited_build_lock_fds() {
  local fd target
  target=$(readlink -f "$build_lock" 2>/dev/null) || return 0
  for fd in "/proc/$$/fd/"*; do
    if [ "$(readlink "$fd" 2>/dev/null)" = "$target" ]; then echo "${fd##*/}"; fi
  done
  return 0
}

locked() {
  if command -v flock >/dev/null && [ -e "$build_lock" ] &&
    [ -z "$(inherited_build_lock_fds)" ]; then
    flock "$build_lock" "$@"
  else
    "$@"
  fi
}
