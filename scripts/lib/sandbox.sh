# shellcheck shell=bash disable=SC2034  # sets variables for the scripts that source it
# The Wine sandbox of scripts/demo and the end-to-end tests (tests/e2e); sourced, not run.
#
# A sandbox is a throwaway Wine prefix that cmake/wine-run boots without a Z: drive or
# links to the home folder, so that nothing run in it can reach this machine's files.
# Beside it live its Wine log (PREFIX.log) and a work folder for the scripts' own files
# (PREFIX.work). Its programs are copied to C:\orvanto-test.

WINE_RUN=$(realpath "$(dirname "${BASH_SOURCE[0]}")/../../cmake/wine-run")
# What every Wine program runs under: empty, or a command that runs it as another user.
AS_USER=()
SETTINGS_KEY='HKCU\Software\Quorvane Inc\ZELK'
SETTINGS_SUBKEYS=(MAINWINDOW FOLDERWATCH QUEUEDLIST APPSTATUS LASTSUBFILES LASTWATCHFILES PREFERENCES_OUTPUT)
# Outside the uninstaller's list: they stay.
SETTINGS_VALUE=Language
SETTINGS_OTHER_SUBKEY=LICENSE

# sandbox_use PREFIX: points everything below at that sandbox.
sandbox_use() {
  export WINEPREFIX=$1
  WINE_LOG=$1.log
  WORK=$1.work
  DRIVE_C=$1/drive_c
  TOOLS=$DRIVE_C/orvanto-test
  PROGRAM_FILES=$DRIVE_C/Program\ Files
  PROGRAM_FILES_X86=$DRIVE_C/Program\ Files\ \(x86\)
  FIRST_APP=$PROGRAM_FILES/OrvantoServer
  SECOND_APP=$PROGRAM_FILES_X86/ovt-server
  SHORTCUT=$DRIVE_C/users/Public/Desktop/OrvantoServer.lnk
}

# Boots the sandbox unless it already is, and starts a wineserver that stays up until
# sandbox_stop.
sandbox_boot() {
  mkdir -p "$WORK"
  wine_run
}

# Copies Windows programs into C:\orvanto-test, where the sandbox can run them.
sandbox_add_programs() { install -D -t "$TOOLS" "$@"; }

sandbox_stop() { wine_run --stop; }

# Boots the sandbox on a virtual display of its own, started before Wine's desktop process
# can take another, where Wine places and frames its windows itself, and adds the programs.
sandbox_up() { sandbox_boot && xvfb_start && wine_windows_managed N && sandbox_add_programs "$@"; }

# Removes the sandbox, but only a folder that is one.
sandbox_discard() {
  [ ! -f "$WINEPREFIX/system.reg" ] || rm -rf "$WINEPREFIX"
  rm -rf "$WORK" "$WINE_LOG" "$WINEPREFIX.lock"
}

# Runs a Windows program (by C: path or by name) in the sandbox, from C:\.
wine_run() { "${AS_USER[@]}" "$WINE_RUN" "$@"; }

# Like wine_run, printing the program's output with Windows line ends made Unix ones.
# Wine's helper processes keep the output open for a few seconds after the program
# ends, so it goes through a file rather than a pipe.
wine_output() {
  local status=0
  wine_run "$@" >"$WORK/output" || status=$?
  tr -d '\r' <"$WORK/output"
  return $status
}

# Starts a virtual display on a free number and exports DISPLAY; xvfb_stop ends it.
xvfb_start() {
  command -v Xvfb >/dev/null || { echo "Xvfb is not installed (scripts/install-deps installs it)" >&2 && return 1; }
  xvfb_stop
  mkdir -p "$WORK"
  # Xvfb takes a free number and writes it once it is ready; nothing, if it fails.
  coproc XVFB { exec Xvfb -displayfd 1 -nolisten tcp -screen 0 1024x768x24 2>"$WORK/xvfb.log"; }
  echo "$XVFB_PID" >"$WORK/xvfb.pid"
  read -r DISPLAY <&"${XVFB[0]}" || { cat "$WORK/xvfb.log" >&2 && return 1; }
  export DISPLAY=:$DISPLAY
  echo "$DISPLAY" >"$WORK/xvfb.display"
}

# Ends the virtual display xvfb_start started, if it is still that Xvfb.
xvfb_stop() {
  local pid
  pid=$(cat "$WORK/xvfb.pid" 2>/dev/null) || return 0
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" != Xvfb ] || { kill "$pid" && tail --pid="$pid" -f /dev/null; }
  rm -f "$WORK/xvfb.pid" "$WORK/xvfb.display"
}

# Whether Wine hands its windows to a window manager (Y) or places and frames them itself
# (N). The virtual display has no window manager: there a managed window gets no title
# bar, and closing one keeps its program waiting two seconds for a window manager's answer.
wine_windows_managed() { wine_run reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$1" /f >/dev/null; } # Y|N

# Writes the content to each file, making its folders.
put() { # CONTENT FILE...
  local file
  for file in "${@:2}"; do
    mkdir -p "$(dirname "$file")"
    printf '%s\n' "$1" >"$file"
  done
}

# Lays out an application's folder as its installer leaves it, and as it looks after
# some use: programs, configuration (one file read-only: Wine shows a file without write
# bits as read-only), logs, nested and empty folders, a hidden file, names with spaces and
# accents.
install_first() { # [FOLDER]
  local app=${1:-$FIRST_APP}
  put 'Orvanto Server' "$app"/{OrvantoServer.exe,ovt-core.dll,'Read me.txt',.cache-index,config/server.ini} \
    "$app"/{config/licence.key,logs/current.log,logs/2024/01/server.log,logs/2024/02/server.log,plugins/Données/filtre.cfg}
  chmod a-w "$app/config/licence.key"
  mkdir "$app/plugins/empty"
}

install_second() {
  put ovt-server "$SECOND_APP"/{bin/ovt-server.exe,bin/ovt32.dll,ovt.conf,logs/ovt.log,cache/a/b/c/item.bin}
  chmod a-w "$SECOND_APP/ovt.conf"
}

install_shortcut() { # [--read-only]
  # Stands in for a shell link; only its name and attributes matter to the uninstaller.
  put '[shortcut] C:\Program Files\OrvantoServer\OrvantoServer.exe' "$SHORTCUT"
  [ "${1:-}" != --read-only ] || chmod a-w "$SHORTCUT"
}

# The settings key as both applications leave it: the seven subkeys the uninstaller
# deletes, each with a value, plus a value of the key itself and a subkey of another
# product. With --nested, LASTSUBFILES gets a subkey of its own.
install_settings() { # [--nested]
  local root=${SETTINGS_KEY/HKCU/HKEY_CURRENT_USER} subkey picture
  {
    printf 'REGEDIT4\n\n[%s]\n"%s"="en-GB"\n\n' "$root" "$SETTINGS_VALUE"
    for subkey in "${SETTINGS_SUBKEYS[@]}"; do printf '[%s\\%s]\n"Saved"="2024-03-02"\n\n' "$root" "$subkey"; done
    printf '[%s\\%s]\n"Owner"="Example Ltd"\n\n' "$root" "$SETTINGS_OTHER_SUBKEY"
    [ "${1:-}" != --nested ] || printf '[%s\\LASTSUBFILES\\History]\n"1"="C:\\\\Media\\\\a.srt"\n\n' "$root"
  } | sed 's/$/\r/' >"$TOOLS/settings.reg"
  wine_run regedit /S 'C:\orvanto-test\settings.reg'
  # regedit says nothing when it fails: what is compared later must be there now.
  picture=$(settings_picture)
  for subkey in "${SETTINGS_SUBKEYS[@]}" "$SETTINGS_OTHER_SUBKEY"; do
    grep -qxF "\\$subkey/" <<<"$picture" || { echo "set-up: regedit did not write $root\\$subkey" >&2 && return 1; }
  done
  grep -q "^/    $SETTINGS_VALUE " <<<"$picture" || { echo "set-up: regedit did not write $SETTINGS_VALUE" >&2 && return 1; }
}

# The settings key as sorted lines: "\SUBKEY/" for each key (the key itself is "/"), and
# "\SUBKEY/    NAME    TYPE    DATA" for each value. Empty when the key is not there.
settings_picture() {
  { wine_output reg query "$SETTINGS_KEY" /s || true; } |
    awk -F '\\\\ZELK' '/^HKEY/ { key = $2 "/"; print key; next } NF { print key $0 }' | LC_ALL=C sort
}

# A settings picture after the given subkeys are deleted as the uninstaller deletes them,
# each alone: one with subkeys of its own stays whole.
settings_without() { # PICTURE SUBKEY...
  local picture=$1 subkey
  for subkey in "${@:2}"; do
    grep -qF "\\$subkey\\" <<<"$1" || picture=$(grep -vF "\\$subkey/" <<<"$picture" || true)
  done
  echo "$picture"
}

# Removes every trace of both applications and their settings from the sandbox, and the
# other files or folders given.
uninstall_state_reset() { # [PATH...]
  rm -rf "$FIRST_APP" "$SECOND_APP" "$SHORTCUT" "$@"
  wine_run reg delete 'HKCU\Software\Quorvane Inc' /f >/dev/null 2>&1 || true
}

# Runs the uninstaller with the given arguments while press-ok.exe reads its message box
# and presses OK. Sets CAPTION, MESSAGE (its text) and BOX (its icon and buttons), all
# empty when no box was read, EXIT_CODE (the uninstaller's), and RUN_ACCOUNT, for a failed
# check to show: when each program ended, and what Wine logged meanwhile, press-ok.exe's
# stderr included (what it waited for, and how long). With PRESS_OK_LEAVE_OPEN=1 the box is
# only read: someone at the display closes it.
run_uninstaller() {
  local leave=() limit=60 program said start=${EPOCHREALTIME/./} logged pressed=0 read_at ended_at
  [ "${PRESS_OK_LEAVE_OPEN:-0}" = 0 ] || leave=(--leave-open) limit=1800
  logged=$(stat -c %s "$WINE_LOG" 2>/dev/null || echo 0)
  # timeout ends a run whose box nobody closes, rather than the script waiting forever.
  "${AS_USER[@]}" timeout -k 5 "$limit" "$WINE_RUN" 'C:\orvanto-test\orvanto-uninstall.exe' "$@" </dev/null >/dev/null &
  program=$!
  wine_run 'C:\orvanto-test\press-ok.exe' "${leave[@]}" </dev/null >"$WORK/box" || pressed=$?
  read_at=$(((${EPOCHREALTIME/./} - start) / 1000))
  EXIT_CODE=0
  wait "$program" || EXIT_CODE=$?
  ended_at=$(((${EPOCHREALTIME/./} - start) / 1000))
  mapfile -t said < <(tr -d '\r' <"$WORK/box")
  CAPTION=${said[0]:-} MESSAGE=${said[1]:-} BOX=${said[2]:-}
  RUN_ACCOUNT=$(
    echo "press-ok.exe ended with status $pressed after $read_at ms; the uninstaller, exit code $EXIT_CODE, after $ended_at ms"
    echo "Wine's log meanwhile (the end):"
    tail -c +$((logged + 1)) "$WINE_LOG" 2>/dev/null | tr -d '\r' | tail -n 20
  )
}

# Prints the files and folders given and all below them as C: paths, sorted; read-only
# files are marked.
show_tree() {
  { find "$@" \( -type f ! -perm -u+w -printf '%p  (read-only)\n' \) -o -printf '%p\n' 2>/dev/null || true; } |
    LC_ALL=C sort | sed "s|^$DRIVE_C/|  C:\\\\|; s|/|\\\\|g"
}
