# shellcheck shell=bash
# How the shell tests report what they check; sourced, not run. Each check prints "ok: WHAT"
# or "FAILED: WHAT" with what it was shown, and a failure is counted, so that one run
# reports every check rather than stopping at the first.

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

# The verdict on every check made: PASSED, or how many failed, and then a false status.
checks_passed() {
  [ "${failures:-0}" -eq 0 ] && echo PASSED && return
  echo "$failures check(s) FAILED" && return 1
}
