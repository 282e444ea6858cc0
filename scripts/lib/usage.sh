# shellcheck shell=bash
# The scripts' command line, sourced by each: usage_check USAGE MAX ARGUMENT... prints
# USAGE on -h or --help and exits 0; on another option, or more than MAX arguments, prints
# it to stderr and exits 2, as tools do.
usage_check() {
  local usage=$1 max=$2 arg
  shift 2
  for arg; do
    case $arg in
      -h | --help) echo "$usage" && exit 0 ;;
      -*) echo "$usage" >&2 && exit 2 ;;
    esac
  done
  [ $# -le "$max" ] || { echo "$usage" >&2 && exit 2; }
}
