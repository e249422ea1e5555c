# shellcheck shell=bash
# Sourced by the test scripts after `set -euo pipefail`, with the name to
# print: a command that ends the script under `set -e` says so, with its
# file, line and exit status, so that no step ends a run without a word.
# errtrace (set -E) carries the trap into functions and subshells, where
# many steps run.
# Usage: . scripts/lib/on-error.sh NAME
set -E
kdr_on_error_name=$1
kdr_on_error() {  # kdr_on_error STATUS LINE COMMAND
    # Only where the failure ends the shell: bash turns errexit off inside
    # $(...), where a failing command is the caller's to judge.
    case $- in
    *e*) ;;
    *) return 0 ;;
    esac
    local where=${BASH_SOURCE[1]:-$0}:$2
    [ "${FUNCNAME[1]:-main}" = main ] || where="$where (in ${FUNCNAME[1]})"
    echo "$kdr_on_error_name: stopped at $where: '$3' exited with $1" >&2
}
trap 'kdr_on_error $? $LINENO "$BASH_COMMAND"' ERR
