#!/usr/bin/env bash
# The bash completion offers exactly the commands of `kdr --help` and, for
# each command, exactly the long options of `kdr COMMAND --help`.
# Usage: completion_test.sh KDR COMPLETION_FILE
set -euo pipefail
kdr=$1
# shellcheck source=/dev/null
source "$2"

complete_words() {  # complete_words WORD...: the completion of the last word
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    _kdr
    printf '%s\n' "${COMPREPLY[@]}" | sort
}

# Options are the long names in the option column of a help text.
long_options() {
    grep -E '^  +-' | grep -oE '(^|[ ,])--[a-z][a-z-]*' | tr -d ' ,' | sort -u
}

failed=0
check() {  # check WHAT EXPECTED ACTUAL
    if [ "$2" != "$3" ]; then
        echo "FAIL $1: help says [$(tr '\n' ' ' <<<"$2")], completion offers [$(tr '\n' ' ' <<<"$3")]"
        failed=1
    fi
}

commands=$("$kdr" --help | sed -n '/^Subcommands:/,/^$/p' | grep -oE '^  [a-z][a-z-]*' | tr -d ' ' | sort)
[ -n "$commands" ] || { echo "FAIL no commands in kdr --help"; exit 1; }
check "commands" "$commands" "$(complete_words kdr '')"
check "options of kdr" "$("$kdr" --help | long_options)" "$(complete_words kdr --)"
for command in $commands; do
    check "options of kdr $command" "$("$kdr" "$command" --help | long_options)" \
        "$(complete_words kdr "$command" --)"
done
check "values of --format" "$(printf '%s\n' csv json text)" \
    "$(complete_words kdr download --format '')"

[ "$failed" -eq 0 ] && echo "completion: every command and option of --help"
exit "$failed"
