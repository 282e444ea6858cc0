# shellcheck shell=bash disable=SC2034  # sets variables for the scripts that source it
# Shared by scripts/demo and the end-to-end tests (tests/e2e); sourced, not run.
#
# A sandbox is a throwaway Wine prefix with its Z: drive taken away, so that nothing run
# in it can reach the host's files. Beside it live its Wine log (PREFIX.log) and a work
# folder for the scripts' own files (PREFIX.work). The programs run from C:\orvanto-test.

WINE=/usr/lib/wine/wine64
SETTINGS_KEY='HKCU\Software\Quorvane Inc\ZELK'
SETTINGS_SUBKEYS=(MAINWINDOW FOLDERWATCH QUEUEDLIST APPSTATUS LASTSUBFILES LASTWATCHFILES PREFERENCES_OUTPUT)
# Outside the uninstaller's list: they stay.
SETTINGS_VALUE=Language
SETTINGS_OTHER_SUBKEY=LICENSE

# sandbox_use PREFIX: points everything below at that sandbox.
sandbox_use() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  WINE_LOG=$1.log
  WORK=$1.work
  DRIVE_C=$1/drive_c
  TOOLS=$DRIVE_C/orvanto-test
  PROGRAM_FILES=$DRIVE_C/Program\ Files
  PROGRAM_FILES_X86=$DRIVE_C/Program\ Files\ \(x86\)
  FIRST_APP=$PROGRAM_FILES/OrvantoServer
  SECOND_APP=$PROGRAM_FILES_X86/ovt-server
  PUBLIC_DESKTOP=$DRIVE_C/users/Public/Desktop
  SHORTCUT=$PUBLIC_DESKTOP/OrvantoServer.lnk
}

# Boots the prefix unless it already is, takes its Z: drive and its links to the home
# folder away and starts a wineserver that stays up until sandbox_stop.
sandbox_boot() {
  mkdir -p "$WORK"
  if [ ! -f "$WINEPREFIX/.orvanto-sandbox" ]; then
    sandbox_discard
    mkdir -p "$WORK"
    # No display while booting: nothing pops up on the user's screen.
    env -u DISPLAY wineboot -i >"$WINE_LOG" 2>&1 || { cat "$WINE_LOG" >&2; return 1; }
    wineserver -w
    # Debian's Wine does not load the fonts in its own data folder; without them the title
    # bar's buttons, drawn in Marlett, show as letters. Copies, since links would lead out.
    [ ! -d /usr/share/wine/fonts ] || cp /usr/share/wine/fonts/* "$DRIVE_C/windows/Fonts/"
    touch "$WINEPREFIX/.orvanto-sandbox"
  fi
  rm -f "$WINEPREFIX/dosdevices/z:"
  # Wine links the user's Desktop, Documents and the like to this machine's home folder.
  local link
  for link in "$DRIVE_C"/users/*/*; do
    if [ -L "$link" ]; then rm "$link" && mkdir "$link"; fi
  done
  mkdir -p "$TOOLS"
  wineserver -p </dev/null >/dev/null 2>&1
}

# Copies Windows programs into C:\orvanto-test, where the sandbox can run them.
sandbox_add_programs() {
  mkdir -p "$TOOLS"
  cp -f "$@" "$TOOLS/"
}

sandbox_stop() {
  if [ -d "$WINEPREFIX" ]; then wineserver -k 2>/dev/null || true; fi
}

# Removes the sandbox, but only a folder that is one (or a half-booted Wine prefix).
sandbox_discard() {
  if [ -f "$WINEPREFIX/.orvanto-sandbox" ] || [ -f "$WINEPREFIX/system.reg" ]; then
    rm -rf "$WINEPREFIX"
  fi
  rm -rf "$WORK" "$WINE_LOG"
}

# Runs a Windows program (by C: path or by name) in the sandbox, from C:\orvanto-test;
# Wine's own messages go to the log.
wine_run() {
  (cd "$TOOLS" && exec "$WINE" "$@") 2>>"$WINE_LOG"
}

# Like wine_run, printing the program's output with Windows line ends made Unix ones.
# Wine's helper processes keep the output open for a few seconds after the program
# ends, so it goes through a file rather than a pipe.
wine_output() {
  local out=$WORK/output status=0
  wine_run "$@" >"$out" || status=$?
  tr -d '\r' <"$out"
  return $status
}

# xvfb_start: starts a virtual display on the first free number from :90 on and exports
# DISPLAY. Its process id and number are kept in the work folder for xvfb_stop.
xvfb_start() {
  command -v Xvfb >/dev/null || { echo "Xvfb is not installed (scripts/install-deps installs it)" >&2; return 1; }
  xvfb_stop
  mkdir -p "$WORK"
  local n
  for ((n = 90; n < 130; n++)); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -nolisten tcp -screen 0 1024x768x24 </dev/null >"$WORK/xvfb.log" 2>&1 &
    local pid=$! tries
    for ((tries = 0; tries < 100; tries++)); do
      if [ -S "/tmp/.X11-unix/X$n" ]; then
        echo "$pid" >"$WORK/xvfb.pid"
        echo ":$n" >"$WORK/xvfb.display"
        export DISPLAY=:$n
        return 0
      fi
      kill -0 "$pid" 2>/dev/null || break  # another server took the number first
      sleep 0.05
    done
    kill "$pid" 2>/dev/null || true
  done
  echo "no free display number from :90 to :129 for Xvfb" >&2
  return 1
}

# Ends the virtual display xvfb_start started, if it is still that Xvfb.
xvfb_stop() {
  local pid
  pid=$(cat "$WORK/xvfb.pid" 2>/dev/null) || return 0
  if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = Xvfb ]; then
    kill "$pid"
    while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  fi
  rm -f "$WORK/xvfb.pid" "$WORK/xvfb.display"
}

# Whether Wine hands its windows to a window manager (Y) or places and frames them itself
# (N). The virtual display has no window manager: there a managed window gets no title
# bar, and closing one keeps its program waiting two seconds for a window manager's answer.
wine_windows_managed() { # Y|N
  wine_run reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$1" /f >/dev/null
}

# Writes a file, making its folders.
put() { # FILE CONTENT
  mkdir -p "$(dirname "$1")"
  printf '%s\n' "$2" >"$1"
}

# Lays out one application's folder as its installer leaves it, and as it looks after
# some use: programs, configuration (one file read-only), logs, nested and empty
# folders, a hidden file, names with spaces and accents.
install_first_app() { # [FOLDER]
  local app=${1:-$FIRST_APP}
  mkdir -p "$app"
  head -c 48000 /dev/urandom >"$app/OrvantoServer.exe"
  head -c 9000 /dev/urandom >"$app/ovt-core.dll"
  put "$app/config/server.ini" $'[server]\nport=8471\nwatch=C:\\Media'
  put "$app/config/licence.key" 'ORV-3F2A-99C1'
  chmod a-w "$app/config/licence.key"  # Wine shows a file without write bits as read-only
  put "$app/logs/current.log" '2024-03-02 10:00:01 started'
  put "$app/logs/2024/01/server.log" '2024-01-15 08:12:44 stopped'
  put "$app/logs/2024/02/server.log" '2024-02-20 17:40:02 started'
  put "$app/Read me.txt" 'Orvanto Server'
  put "$app/plugins/Données/filtre.cfg" 'enabled=1'
  put "$app/.cache-index" 'hidden'
  mkdir -p "$app/plugins/empty"
}

install_second_app() {
  local app=$SECOND_APP
  mkdir -p "$app/bin"
  head -c 30000 /dev/urandom >"$app/bin/ovt-server.exe"
  head -c 7000 /dev/urandom >"$app/bin/ovt32.dll"
  put "$app/ovt.conf" 'queue=8'
  chmod a-w "$app/ovt.conf"
  put "$app/logs/ovt.log" 'ready'
  put "$app/cache/a/b/c/item.bin" 'cached'
}

install_shortcut() { # [--read-only]
  # Stands in for a shell link; only its name and attributes matter to the uninstaller.
  put "$SHORTCUT" '[shortcut] C:\Program Files\OrvantoServer\OrvantoServer.exe'
  [ "${1:-}" != --read-only ] || chmod a-w "$SHORTCUT"
}

# The settings key as both applications leave it: the seven subkeys the uninstaller
# deletes, each with a value, plus a value of the key itself and a subkey of another
# product. With --nested, LASTSUBFILES gets a subkey of its own.
install_settings() { # [--nested]
  local root='HKEY_CURRENT_USER\Software\Quorvane Inc\ZELK' subkey file=$TOOLS/settings.reg
  {
    printf 'REGEDIT4\n\n[%s]\n"%s"="en-GB"\n\n' "$root" "$SETTINGS_VALUE"
    for subkey in "${SETTINGS_SUBKEYS[@]}"; do
      printf '[%s\\%s]\n"Saved"="%s of 2024-03-02"\n\n' "$root" "$subkey" "$subkey"
    done
    printf '[%s\\%s]\n"Owner"="Example Ltd"\n\n' "$root" "$SETTINGS_OTHER_SUBKEY"
    [ "${1:-}" != --nested ] || printf '[%s\\LASTSUBFILES\\History]\n"1"="C:\\\\Media\\\\a.srt"\n\n' "$root"
  } | sed 's/$/\r/' >"$file"
  wine_run regedit /S 'C:\orvanto-test\settings.reg'
}

# The settings key as sorted lines: "SUBKEY/" for each key (the key itself is "."), and
# "SUBKEY|NAME|TYPE|DATA" for each value. Empty when the key does not exist.
settings_picture() {
  local listing
  listing=$(wine_output reg query "$SETTINGS_KEY" /s) || return 0
  awk -v root='HKEY_CURRENT_USER\\Software\\Quorvane Inc\\ZELK' '
    index($0, root) == 1 { key = substr($0, length(root) + 2); if (key == "") key = "."; print key "/"; next }
    /^    / { sub(/^    /, ""); n = split($0, f, /    /); print key "|" f[1] "|" f[2] "|" f[3] }
  ' <<<"$listing" | sort -u
}

# Removes every trace of both applications and their settings from the sandbox, and
# any read-only bit the tests set.
uninstall_state_reset() {
  chmod -R u+w "$FIRST_APP" "$SECOND_APP" "$SHORTCUT" 2>/dev/null || true
  rm -rf "$FIRST_APP" "$SECOND_APP" "$SHORTCUT"
  wine_run reg delete 'HKCU\Software\Quorvane Inc' /f >/dev/null 2>&1 || true
}

# Runs the uninstaller with the given arguments while press-ok.exe reads its message box
# and presses OK. Sets MESSAGE (the box's text), BOX (its icon and buttons), EXIT_CODE
# (the uninstaller's) and PRESS_OK_STATUS (0 when the box was read). With
# PRESS_OK_LEAVE_OPEN=1 the box is only read: someone at the display closes it.
run_uninstaller() {
  local press_args=(--timeout 30) limit=60
  if [ "${PRESS_OK_LEAVE_OPEN:-0}" = 1 ]; then press_args=(--leave-open --timeout 1800) limit=1800; fi
  rm -f "$WORK/message"
  # timeout ends a run whose box nobody closes, rather than the script waiting forever.
  (cd "$TOOLS" && exec timeout -k 5 "$limit" "$WINE" 'C:\orvanto-test\orvanto-uninstall.exe' "$@") \
    </dev/null >/dev/null 2>>"$WINE_LOG" &
  local program=$!
  (cd "$TOOLS" && exec "$WINE" 'C:\orvanto-test\press-ok.exe' "${press_args[@]}") \
    </dev/null >"$WORK/message" 2>>"$WINE_LOG" &
  local reader=$!
  EXIT_CODE=0
  wait "$program" || EXIT_CODE=$?
  # A program that ended without showing its box leaves press-ok.exe waiting in vain.
  local tries=0
  while kill -0 "$reader" 2>/dev/null && [ $((tries += 1)) -le 100 ]; do sleep 0.05; done
  kill "$reader" 2>/dev/null || true
  PRESS_OK_STATUS=0
  wait "$reader" || PRESS_OK_STATUS=$?
  local said
  mapfile -t said < <(tr -d '\r' <"$WORK/message")
  MESSAGE=${said[0]:-} BOX=${said[1]:-}
}

# A settings picture with the given subkeys (and their values) taken out.
settings_without() { # PICTURE SUBKEY...
  local picture=$1 subkey
  shift
  for subkey in "$@"; do
    picture=$(grep -v -e "^$subkey/\$" -e "^$subkey|" <<<"$picture" || true)
  done
  echo "$picture"
}

# Prints the trees below the given folders (or files), one entry a line, indented by
# depth; folders end in "\", read-only files are marked.
show_tree() {
  local top
  for top in "$@"; do
    if [ ! -e "$top" ]; then
      echo "  C:\\$(win_path "$top")  (not there)"
      continue
    fi
    find "$top" -printf '%d\t%y\t%M\t%P\n' | LC_ALL=C sort -t $'\t' -k4 | while IFS=$'\t' read -r depth type mode rel; do
      local name=${rel##*/} mark=''
      [ "$depth" -eq 0 ] && name="C:\\$(win_path "$top")"
      [ "$type" = d ] && name+="\\"
      [ "$type" = f ] && [[ $mode != *w* ]] && mark='  (read-only)'
      printf '  %*s%s%s\n' $((depth * 2)) '' "$name" "$mark"
    done
  done
}

# The Windows form of a path below drive_c, without "C:\".
win_path() {
  local rel=${1#"$DRIVE_C"/}
  echo "${rel//\//\\}"
}
