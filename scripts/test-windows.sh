#!/usr/bin/env bash
# The Windows build under wine: cross-builds the programs and the suites (scripts/build-windows.sh),
# runs the unit and flow suites and the native dialog's suite (on a virtual X server) under wine64,
# checks that the dialog without a display ends with an error, then runs qdqm-update.exe under wine
# end to end against the Linux qdqm-sim on a pty that the wine prefix maps as a COM port: a
# controller flash in the raw and in the record protocol from the terminal and one through the
# dialog (worked by qdqm-dialog-driver.exe), each compared with the image of the data file, and a
# QM292's MPEG decoder image in CRC-32 frames, compared byte for byte with its file. Last, the setup
# program made of this build (scripts/package-windows.sh): silent install, the installed program's
# version and uninstall entry, silent uninstall.
# The Linux simulator and data-file writer come from build-wine-host/, or from the build folder in
# QDQM_HOST_BUILD (scripts/test.sh passes its own, which already holds them). Exit status 0 when
# everything passed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
win=$here/build-windows
host=${QDQM_HOST_BUILD:-$here/build-wine-host}
# shellcheck source=scripts/build-lock.sh
. "$here/scripts/build-lock.sh"
start=$SECONDS
"$here/scripts/build-windows.sh" "$win" -DQDQM_WERROR=ON
echo "Windows build: $((SECONDS - start)) s"

# The simulator and the data-file writer run on Linux.
start=$SECONDS
if [ -z "${QDQM_HOST_BUILD:-}" ]; then
  "$here/scripts/setup-deps.sh"
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$here" -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQDQM_GUI=OFF \
    -DBUILD_TESTING=OFF -DQDQM_WERROR=ON "${launcher[@]}" >/dev/null
fi
locked cmake --build "$host" -j "$(nproc)" --target qdqm-sim qdqm-datafile
echo "Linux simulator build: $((SECONDS - start)) s"
# The simulators and wineserver (which outlives the last wine process by a few seconds) need not
# carry a lock this script inherited; whoever passed it down still holds it.
for fd in $(inherited_build_lock_fds); do exec {fd}<&-; done

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
# No .desktop files or menus in $HOME for the programs of the prefix (winemenubuilder), no Mono or
# Gecko downloads.
export WINEPREFIX=$win/wine-prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
run=
sim_pid=
# Wine's desktop process keeps the display of the program that started it (or none) for as long as
# the wine server runs: a program on another virtual X server, or on none, needs a server of its
# own.
new_wine_session() {
  "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
  "$(dirname "$wine")/wineserver" -w 2>/dev/null || true
}
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  if [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; then wait "$sim_pid" 2>/dev/null || true; fi
  # The wineserver outlives the last wine process by a few seconds, holding our stdout and stderr:
  # the script ends when it has (and has saved the prefix's registry).
  "$(dirname "$wine")/wineserver" -w 2>/dev/null || true
  if [ -n "$run" ]; then rm -rf "$run"; fi
}
trap cleanup EXIT
if [ ! -e "$WINEPREFIX/system.reg" ]; then
  start=$SECONDS
  "$wine" wineboot -i >/dev/null 2>&1 || true
  echo "Made the wine prefix $WINEPREFIX ($((SECONDS - start)) s)"
fi
# Wine's own fonts (fonts-wine): MS Sans Serif, the dialogs' font, and Marlett for the caption
# buttons. This wine looks for them in the prefix's Fonts folder only.
fonts=$WINEPREFIX/drive_c/windows/Fonts
if [ -d /usr/share/wine/fonts ] && [ -d "$fonts" ] && [ ! -e "$fonts/marlett.ttf" ]; then
  cp /usr/share/wine/fonts/* "$fonts/"
fi
# Xvfb has no window manager: wine draws the frames and captions itself (without this, each window
# that closes waits two seconds for a window manager to confirm it).
if ! grep -q '"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
  for value in Managed Decorated; do
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v "$value" /d N /f >/dev/null 2>&1 || true
  done
fi

# wait_until SECONDS COMMAND...: runs COMMAND every 50 ms until it succeeds (status 0), or until
# SECONDS have passed (status 1).
wait_until() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.05
  done
}

# The dialog's suite needs an X server: a virtual one of its own. A suite takes seconds; one that
# hangs (a box nobody answers) is ended after ten minutes.
"$here/scripts/setup-deps.sh" xvfb xauth
status=0
for suite in unit flow wingui; do
  log=$win/test_$suite.log
  start=$SECONDS
  display=()
  if [ "$suite" = wingui ]; then
    display=(xvfb-run -a -s "-screen 0 1280x900x24")
    new_wine_session
  fi
  if "${display[@]}" timeout -k 10 600 "$wine" "$win/test_$suite.exe" >"$log" 2>&1; then
    passed=$(grep -E '^\[  PASSED  \]' "$log")
    skipped=$(grep -E '^\[  SKIPPED \] [0-9]' "$log" | sed 's/, listed below://' || true)
    echo "test_$suite.exe: $passed${skipped:+ $skipped} ($((SECONDS - start)) s)"
  else
    echo "test_$suite.exe FAILED:"
    grep -E '^\[  FAILED  \]' "$log" || tail -20 "$log"
    status=1
  fi
done

run=$(mktemp -d /tmp/qdqm-wine-e2e.XXXXXX)
export QDQM_PORT_DIR=$run/ports
mkdir -p "$run/program" "$run/images" "$QDQM_PORT_DIR"
cp "$win/qdqm-update.exe" "$run/program/"

# The tool's two faces, each given the COM number: the terminal command, and the dialog worked
# from outside by qdqm-dialog-driver.exe (port, Connect, Update, OK, No to another module) on a
# virtual X server of its own. The driver waits for each step as long as a loaded machine needs
# (up to two minutes a step) and ends the dialog when it gives up; the dialog is ended here too
# when the driver failed before finding it. The five minutes of `timeout` only catch a hang.
# shellcheck disable=SC2317  # called through $e2e_tool
terminal_update() {
  (cd "$run/program" && timeout 300 "$wine" ./qdqm-update.exe update --port "$1" --yes)
}
# shellcheck disable=SC2317,SC2016  # called through $e2e_tool; the inner script's own variables
dialog_update() {
  new_wine_session
  (cd "$run/program" && timeout 300 xvfb-run -a -s "-screen 0 1280x900x24" bash -c '
    "$1" ./qdqm-update.exe & app=$!
    "$1" "$2" --port "$3"; driver=$?
    if [ "$driver" -ne 0 ]; then kill "$app" 2>/dev/null; fi
    wait "$app"; dialog=$?
    echo "dialog exit $dialog"
    [ "$driver" -eq 0 ] && exit "$dialog"; exit "$driver"' _ "$wine" \
    "$win/qdqm-dialog-driver.exe" "$1")
}

# e2e_run NAME COM SIM-OPTIONS...: starts qdqm-sim on COM with these options, links its pty as the
# wine prefix's comN, runs the tool ($e2e_tool, terminal_update unless set) in the program folder,
# then stops the simulator, which writes what it kept (--flash-out, --decoder-out) on the way out. Sets
# e2e_rc to the tool's exit status (124: no end within five minutes) and e2e_secs to its run time.
# The simulator has two minutes to make its port; one that ends before is not waited for.
e2e_run() {
  local name=$1 com=$2 start
  shift 2
  "$host/qdqm-sim" --com "$com" "$@" >"$run/$name.sim.log" 2>&1 &
  sim_pid=$!
  # shellcheck disable=SC2016  # expanded by the inner bash
  wait_until 120 bash -c '[ -L "$1" ] || ! kill -0 "$2" 2>/dev/null' _ \
    "$QDQM_PORT_DIR/COM$com" "$sim_pid" || true
  e2e_rc=0
  start=$SECONDS
  if [ -L "$QDQM_PORT_DIR/COM$com" ]; then
    ln -sfn "$(readlink "$QDQM_PORT_DIR/COM$com")" "$WINEPREFIX/dosdevices/com$com"
    "${e2e_tool:-terminal_update}" "$com" >"$run/$name.out" 2>"$run/$name.err" || e2e_rc=$?
  else
    echo "qdqm-sim made no port COM$com" >"$run/$name.err"
    cp "$run/$name.sim.log" "$run/$name.out"
    e2e_rc=1
  fi
  e2e_secs=$((SECONDS - start))
  if kill "$sim_pid" 2>/dev/null; then wait "$sim_pid" 2>/dev/null || true; fi
  sim_pid=
  rm -f "$WINEPREFIX/dosdevices/com$com"
}

# e2e_verdict NAME WHAT KEPT EXPECTED: the run passed when the tool exited 0 and the simulator kept
# exactly the expected bytes.
e2e_verdict() {
  local name=$1 what=$2 kept=$3 expected=$4
  if [ "$e2e_rc" -eq 0 ] && cmp -s "$kept" "$expected"; then
    echo "e2e $name: $what ($e2e_secs s)"
  else
    echo "e2e $name FAILED (exit $e2e_rc):"
    cat "$run/$name.out" "$run/$name.err"
    status=1
  fi
}

# flash_once NAME COM TYPE TYPEDIR FILE SIZE SEED RECORD-BYTES SIM-OPTIONS...: a controller flash
# from a data file of SIZE bytes in records of RECORD-BYTES.
flash_once() {
  local name=$1 com=$2 type=$3 typedir=$4 file=$5 size=$6 seed=$7 record=$8
  shift 8
  mkdir -p "$run/program/$typedir"
  "$host/qdqm-datafile" --module "$type" --out "$run/program/$typedir/$file" --size "$size" \
    --seed "$seed" --record-bytes "$record" --image-out "$run/images/$name.hex"
  e2e_run "$name" "$com" --module "$type" "$@" --flash-out "$run/$name.flash"
  e2e_verdict "$name" "flash equals the image" "$run/$name.flash" "$run/images/$name.hex"
}

# decoder_once NAME COM TYPE TYPEDIR IMAGE SIZE SEED SIM-OPTIONS...: a decoder image of SIZE bytes,
# named on the MPEG line of a data file without controller image (version 0: header checks only),
# so that the run is the decoder stage alone. The image lives in a folder of its own, out of the
# version list.
decoder_once() {
  local name=$1 com=$2 type=$3 typedir=$4 image=$5 size=$6 seed=$7
  shift 7
  mkdir -p "$run/program/$typedir/images"
  "$host/qdqm-datafile" --module "$type" --mpeg "images\\$image" --size 64 \
    --out "$run/program/$typedir/update"
  "$host/qdqm-datafile" --image "$run/program/$typedir/images/$image" --size "$size" --seed "$seed"
  e2e_run "$name" "$com" --module "$type" "$@" --decoder-out "$run/$name.decoder"
  e2e_verdict "$name" "decoder image equals the file" "$run/$name.decoder" \
    "$run/program/$typedir/images/$image"
}

# Without a display the dialog cannot open: an error and exit status 1, not a silent success.
new_wine_session
no_display_rc=0
(cd "$run/program" && env -u DISPLAY timeout 120 "$wine" ./qdqm-update.exe \
  >"$run/no-display.out" 2>&1) || no_display_rc=$?
if [ "$no_display_rc" -eq 1 ] && grep -q "The dialog could not be opened" "$run/no-display.out"; then
  echo "dialog without a display: exit 1 with its message"
else
  echo "dialog without a display FAILED (exit $no_display_rc):"
  cat "$run/no-display.out"
  status=1
fi

flash_once raw 5 QD21S QD21S_1 upd2.01 8192 7 16 --version 1.05 --hw 1 --top-speed 3
flash_once record 6 QM41B QM41B_ upd2.01 6144 11 24 --protocol record --version 1.05 --top-speed 2
e2e_tool=dialog_update flash_once dialog 8 QD21S QD21S_1 upd2.01 8192 7 16 --version 1.05 --hw 1 \
  --top-speed 3
decoder_once qm292-decoder 7 QM292 QM292_ QM292_2_01.bin 5000 13 --version 1.05 \
  --coproc-version 1.05 --coproc-new-version 2.01


# The setup program (scripts/package-windows.sh, made from this build's qdqm-update.exe) under wine,
# twice. Into an empty folder: a silent install (/S /D=...), the installed program's version, the
# Start-menu entry and the uninstall entry with its values; the silent uninstall then leaves
# neither folder, entry nor menu entry. Into a folder where the user then puts an update set: the
# uninstall leaves that and nothing else. The uninstaller runs from a copy of itself in the temp
# folder, so the end of the wine session is the end of the uninstall.
setup_dir=$WINEPREFIX/drive_c/qdqm-setup
start_menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/qdqm-update.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\qdqm-update'
setup_failed=0
setup_fail() {
  echo "setup $1 FAILED: $2"
  setup_failed=1
}
# setup_install NAME: installs into C:\qdqm-setup\NAME; 0 when the files are there.
setup_install() {
  "$wine" "$setup" /S "/D=C:\\qdqm-setup\\$1" >/dev/null 2>&1 || true
  local f
  for f in qdqm-update.exe README.txt Uninstall.exe; do
    [ -f "$setup_dir/$1/$f" ] || { setup_fail "$1" "no $f after the install"; return 1; }
  done
}
# setup_uninstall NAME: runs the uninstaller silently and waits for the copy it starts.
setup_uninstall() {
  "$wine" "C:\\qdqm-setup\\$1\\Uninstall.exe" /S >/dev/null 2>&1 || true
  "$(dirname "$wine")/wineserver" -w 2>/dev/null || true
  if "$wine" reg query "$uninstall_key" >/dev/null 2>&1; then
    setup_fail "$1" "uninstall entry still there"
  fi
  [ ! -e "$start_menu" ] || setup_fail "$1" "Start-menu entry still there"
}
start=$SECONDS
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win/CMakeCache.txt")
setup=$run/dist/qdqm-update-$version-setup.exe
new_wine_session
rm -rf "$setup_dir"
if ! "$here/scripts/package-windows.sh" --from "$win" --out "$run/dist" >"$run/setup.log" 2>&1; then
  setup_fail build "$(cat "$run/setup.log")"
elif setup_install clean; then
  printed=$("$wine" 'C:\qdqm-setup\clean\qdqm-update.exe' --version 2>&1 | tr -d '\r')
  [ "$printed" = "$version" ] || setup_fail clean "--version printed: $printed"
  [ -f "$start_menu" ] || setup_fail clean "no Start-menu entry"
  "$wine" reg query "$uninstall_key" 2>&1 | tr -d '\r' | sed 's/^ *//; s/  */ /g' >"$run/setup.reg"
  # value  type  data
  values=(
    "DisplayName REG_SZ qdqm-update $version"
    "DisplayVersion REG_SZ $version"
    "Publisher REG_SZ Seed 2d2bbdb4 maintainers"
    "UninstallString REG_SZ \"C:\\qdqm-setup\\clean\\Uninstall.exe\""
    "InstallLocation REG_SZ C:\\qdqm-setup\\clean"
    "NoModify REG_DWORD 0x1"
    "NoRepair REG_DWORD 0x1"
  )
  for value in "${values[@]}"; do
    grep -qxF "$value" "$run/setup.reg" || setup_fail clean "no registry value $value"
  done
  setup_uninstall clean
  [ ! -e "$setup_dir/clean" ] || setup_fail clean "left $(cd "$setup_dir" && find clean | tr '\n' ' ')"
fi
if [ -f "$setup" ] && setup_install sets; then
  mkdir -p "$setup_dir/sets/QD21S_1"
  "$host/qdqm-datafile" --module QD21S --out "$setup_dir/sets/QD21S_1/upd2.01" --size 256
  setup_uninstall sets
  left=$(cd "$setup_dir/sets" 2>/dev/null && find . -mindepth 1 | sort | tr '\n' ' ')
  [ "$left" = "./QD21S_1 ./QD21S_1/upd2.01 " ] || setup_fail sets "left in the folder: $left"
fi
rm -rf "$setup_dir"
if ((setup_failed)); then
  status=1
else
  echo "setup program: silent install, --version $version, uninstall entry, silent uninstall" \
    "keeping only the user's update set ($((SECONDS - start)) s)"
fi

exit $status
