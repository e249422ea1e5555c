# bash completion for kdr: its commands, each command's options and the
# values of --port, --format, --encoding, --fault, --output, --path-file, --password-file, --db
# and --token-file.
# Installed as share/bash-completion/completions/kdr; for a try, `source` it.

_kdr_options() {
    local line='--help --port --password --password-file --latency --trace --quiet'
    case "$1" in
        open | sync-time) echo "$line" ;;
        download) echo "$line --machine-id --rtc --format --raw --encoding --output --verify" ;;
        erase) echo "$line --yes" ;;
        ports) echo '--help --all --format' ;;
        simulate) echo '--help --password --id --records --record --fault --encoding --fast --clock --path-file' ;;
        demo) echo '--help --records --fast --format --trace --quiet' ;;
        collect) echo "$line --db --erase --reader --single-read --watch --format" ;;
        export) echo '--help --db --reader --since --until --format --output --bom' ;;
        history) echo '--help --db --reader --since --limit --format' ;;
        rebuild) echo '--help --db' ;;
        check) echo '--help --db --stale-days' ;;
        backup) echo '--help --db --force' ;;
        prune) echo '--help --db --before --dry-run' ;;
        serve) echo '--help --db --listen --token-file --stale-days --threads' ;;
    esac
}

_kdr() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands='open download sync-time erase ports simulate demo collect export history rebuild backup prune serve check'
    local command='' i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case " $commands " in
            *" ${COMP_WORDS[i]} "*) command=${COMP_WORDS[i]} && break ;;
        esac
    done
    COMPREPLY=()

    if [ -z "$command" ]; then
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W '--help --version' -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        fi
        return 0
    fi

    case "$prev" in
        -p | --port)
            local devices
            devices=$(compgen -G '/dev/tty[SA]*[0-9]'; compgen -G '/dev/ttyUSB*';
                      compgen -G '/dev/serial/by-id/*')
            mapfile -t COMPREPLY < <(compgen -W "$devices" -- "$cur")
            return 0
            ;;
        -f | --format)
            local formats='text json csv'
            [ "$command" = export ] && formats='csv json'
            case "$command" in
                ports | collect | history) formats='text json' ;;
            esac
            mapfile -t COMPREPLY < <(compgen -W "$formats" -- "$cur")
            return 0
            ;;
        --encoding)
            mapfile -t COMPREPLY < <(compgen -W 'cp1252 latin1 utf8' -- "$cur")
            return 0
            ;;
        --fault)
            mapfile -t COMPREPLY < <(compgen -W 'silent refuse garble bursts pause drop short merge split mute borrow flip' -- "$cur")
            return 0
            ;;
        -o | --output | --db | --path-file | --password-file | --token-file)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return 0
            ;;
        -w | --password | --id | -n | --records | -r | --record | --clock | --reader | --since | --until | --before | --limit | \
            --listen | --stale-days | --threads)
            return 0
            ;;
    esac

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_kdr_options "$command")" -- "$cur")
    fi
    return 0
}

complete -F _kdr kdr
