# shellcheck shell=bash disable=SC2034  # sets variables for the scripts that source it
# What the uninstaller says, and how the tests and the demo report what they check; sourced,
# not run. Each check prints "ok: WHAT" or "FAILED: WHAT" with what it was shown, and a
# failure is counted, so that one run reports every check rather than stopping at the first.

BOX_CAPTION="Orvanto Server"
ALL="All applications have been uninstalled"
SOME="Some files could not be removed"
NONE="No application installed"

check() { # WHAT COMMAND...: the command's output is shown when it fails
  local out
  if out=$("${@:2}" 2>&1); then echo "ok: $1"; else echo "FAILED: $1${out:+$'\n'$out}" && failures=$((${failures:-0} + 1)); fi
}

# Fails, printing the lines that differ, unless EXPECTED and FOUND are the same.
same() { # EXPECTED FOUND
  [ "$1" != "$2" ] || return 0
  echo "    (- expected, + found)"
  diff <([ -z "$1" ] || echo "$1") <([ -z "$2" ] || echo "$2") | sed -n 's/^</    -/p; s/^>/    +/p' | head -n 40
  return 1
}

# What the user saw after run_uninstaller (scripts/lib/sandbox.sh), and the exit code; when
# they are not as expected, how the run went.
check_box() { # ALL|SOME|NONE [WHAT]
  check "${2:-message box and exit code}" box_is "$1"
}
box_is() { # ALL|SOME|NONE|UNSEEN (no box: no one could have seen it)
  local shown=('' '' '')
  [ "$1" = UNSEEN ] || shown=("$BOX_CAPTION" "${!1}" "icon information, buttons OK")
  same "$(printf '%s\n' "${shown[@]}" 1)" "$(printf '%s\n' "${CAPTION-}" "${MESSAGE-}" "${BOX-}" "${EXIT_CODE-}")" &&
    return
  sed 's/^/    | /' <<<"${RUN_ACCOUNT-}"
  return 1
}

# The verdict on every check made: PASSED, or how many failed, and then a false status.
checks_passed() {
  [ "${failures:-0}" -eq 0 ] && echo PASSED && return
  echo "$failures check(s) FAILED" && return 1
}
