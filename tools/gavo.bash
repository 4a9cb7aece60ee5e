# bash completion for gavo: subcommands, options and local file names. Stored names are
# not offered: completing a word never waits for the file server.
_gavo() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local globals="--ini --log-dir --timeout -q --quiet -v --verbose --keep-going --help --version"
    case $prev in
        --ini) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --log-dir) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --timeout|--record-size|--older-than) COMPREPLY=(); return ;;
    esac
    local i command=
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --ini|--log-dir|--timeout|--record-size|--older-than) ((i++)) ;;
            -*) ;;
            *) command=${COMP_WORDS[i]}; break ;;
        esac
    done
    local words=$globals
    case $command in
        '') words="put get cat rm mv exists record config ls stat rmdir clean-temp $globals" ;;
        put) words="--force -r --recursive $globals" ;;
        get) words="-r --recursive $globals" ;;
        ls) words="-l -R $globals" ;;
        clean-temp) words="--older-than $globals" ;;
        record) words="--record-size $globals" ;;
    esac
    if [[ $cur == -* || -z $command || $command == config ]]; then
        COMPREPLY=($(compgen -W "$words" -- "$cur"))
    elif [[ $command == put || $command == get ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -o filenames -F _gavo gavo
