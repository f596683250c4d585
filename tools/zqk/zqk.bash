# bash completion for zqk: commands, options, local paths, and device paths
# completed from the device's listing (of the device that the options on
# the line choose).

_zqk_commands="devices wait info ls get put pull push flash rm mkdir rmdir mv cmd term mount"
_zqk_options="--device -d --all --vid --pid --usage-page --usage --sim --sim-dir --sim-mode --sim-unquoted
  --recursive -r --parents -p --delete --dry-run -n --quiet -q --progress --no-progress --verbose -v --timeout --long -l --json -b -o --help -h --version"

# The options of the line that choose the device, for asking it for a listing.
_zqk_device_options()
{
    local i word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            --device | -d | --vid | --pid | --usage-page | --usage | --sim-dir | --sim-mode)
                printf '%s\n%s\n' "$word" "${COMP_WORDS[i + 1]}"
                ((i++))
                ;;
            --sim | --sim-unquoted) printf '%s\n' "$word" ;;
        esac
    done
}

# Names in the device folder of the word being completed; folders end in "/".
_zqk_device_paths()
{
    local cur=$1 folder line name
    local -a options
    [[ $cur == /* ]] || cur=/$cur
    folder=${cur%/*}
    mapfile -t options < <(_zqk_device_options)
    while IFS= read -r line; do
        name=${line%$'\t'*}
        [[ ${line##*$'\t'} == true ]] && name+=/
        printf '%s\n' "$folder/$name"
    done < <("${COMP_WORDS[0]}" "${options[@]}" ls --json "${folder:-/}" 2>/dev/null |
        sed -n 's/^  {"name": "\(.*\)", "size": .*"directory": \(true\|false\),.*/\1\t\2/p')
}

# Adds the lines of standard input that begin with $1 to COMPREPLY, each as it
# is: compgen -W would expand them, and they come from the device (a file
# named "$(...)" would run a command).
_zqk_add_matching()
{
    local candidate
    while IFS= read -r candidate; do
        [[ $candidate == "$1"* ]] && COMPREPLY+=("$candidate")
    done
}

_zqk_local_paths()
{
    local IFS=$'\n'
    if [[ $2 == folders ]]; then
        COMPREPLY+=($(compgen -d -- "$1"))
    else
        COMPREPLY+=($(compgen -f -- "$1"))
    fi
}

_zqk()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local command="" i position=0 word
    COMPREPLY=()
    case $prev in
        --sim-dir) _zqk_local_paths "$cur" folders; return ;;
        --sim-mode) COMPREPLY=($(compgen -W "app bootloader ate" -- "$cur")); return ;;
        --device | -d)
            _zqk_add_matching "$cur" < <(printf 'sim:\n'; "${COMP_WORDS[0]}" devices 2>/dev/null | awk 'NR > 1 {print $1; print $2}')
            return
            ;;
        --vid | --pid | --usage-page | --usage | --timeout) return ;;
    esac
    # The command, and which of its arguments is being completed.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            --device | -d | --vid | --pid | --usage-page | --usage | --sim-dir | --sim-mode | --timeout) ((i++)) ;;
            -*) ;;
            *) if [[ -z $command ]]; then command=$word; else ((position++)); fi ;;
        esac
    done
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$_zqk_options" -- "$cur"))
        return
    fi
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$_zqk_commands" -- "$cur"))
        return
    fi
    local side=none
    case $command in
        ls | rm | mkdir | rmdir | mv) side=device ;;
        get) [[ $cur == /* || $position -eq 0 ]] && side=device || side=local ;;
        put) [[ $cur == /* ]] && side=device || side=local ;;
        pull) ((position == 0)) && side=device || side=folders ;;
        push) ((position == 0)) && side=folders || side=device ;;
        flash) side=local ;;
        mount) side=folders ;;
    esac
    case $side in
        device)
            _zqk_add_matching "$cur" < <(_zqk_device_paths "$cur")
            compopt -o nospace 2>/dev/null
            ;;
        local) _zqk_local_paths "$cur" files ;;
        folders) _zqk_local_paths "$cur" folders ;;
    esac
}

complete -o filenames -F _zqk zqk
