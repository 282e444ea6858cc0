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

# sandbox_use PREFIX: points everything below at that sandbox.
sandbox_use() {
  export WINEPREFIX=$1
  WINE_LOG=$1.log
  WORK=$1.work
  DRIVE_C=$1/drive_c
  TOOLS=$DRIVE_C/orvanto-test
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
