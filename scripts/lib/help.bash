# Sourced by the project's bash scripts, first thing:
#   source "$(dirname "$0")/lib/help.bash"; smetp_help "$0" "$@"
# With -h or --help as the first argument it prints the script's leading
# comment block (its usage) and exits 0, before the script does any work.
smetp_help() {
  local script=$1
  shift
  case ${1:-} in
    -h | --help)
      awk 'NR == 1 { next } /^#/ { sub(/^# ?/, ""); print; next } { exit }' "$script"
      exit 0
      ;;
  esac
}
