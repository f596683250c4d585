# bash completion for zqk: commands, options, local paths, and device paths
# completed from the device's listing (of the device that the options on
# the line choose).

_zqk_commands="devices wait info ls get put pull push cat flash rm mkdir rmdir mv cmd term trace mount"
_zqk_options="--device -d --all --vid --pid --usage-page --usage --sim --sim-dir --sim-mode --sim-unquoted
  --recursive -r --parents -p --delete --dry-run -n --verify --modify-window --quiet -q --progress --no-progress
  --verbose -v --trace --timeout --wait --watch --long -l --json -b -o --help -h --version"

# The words of the line as the tool takes them: bash splits them at the
# characters of COMP_WORDBREAKS too, so that "sim:DIR" comes as "sim", ":",
# "DIR" and "--sim-dir=DIR" as "--sim-dir", "=", "DIR". Such a piece is
# joined again to the words it touches. Sets _zqk_words and _zqk_cword.
_zqk_join_words()
{
    local i word glue=0
    _zqk_words=()
    _zqk_cword=0
    for ((i = 0; i < ${#COMP_WORDS[@]}; i++)); do
        word=${COMP_WORDS[i]}
        if ((i > 0)) && [[ $word == [:=] ]]; then
            _zqk_words[${#_zqk_words[@]} - 1]+=$word
            glue=1
        elif ((glue)); then
            _zqk_words[${#_zqk_words[@]} - 1]+=$word
            glue=0
        else
            _zqk_words+=("$word")
        fi
        ((i == COMP_CWORD)) && _zqk_cword=$((${#_zqk_words[@]} - 1))
    done
}

# The options of the line that choose the device, for asking it for a listing.
_zqk_device_options()
{
    local i word
    for ((i = 1; i < _zqk_cword; i++)); do
        word=${_zqk_words[i]}
        case $word in
            --device | -d | --vid | --pid | --usage-page | --usage | --sim-dir | --sim-mode)
                printf '%s\n%s\n' "$word" "${_zqk_words[i + 1]}"
                ((i++))
                ;;
            --device=* | --vid=* | --pid=* | --usage-page=* | --usage=* | --sim-dir=* | --sim-mode=* | --sim | \
                --sim-unquoted) printf '%s\n' "$word" ;;
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
    done < <("${_zqk_words[0]}" "${options[@]}" ls --json "${folder:-/}" 2>/dev/null |
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

# A completion of a word that bash split at ":" replaces only its last
# piece: the part up to the last ":" comes off each candidate.
_zqk_after_colon()
{
    local i
    [[ $1 == *:* && $COMP_WORDBREAKS == *:* ]] || return
    for ((i = 0; i < ${#COMPREPLY[@]}; i++)); do
        COMPREPLY[i]=${COMPREPLY[i]#"${1%:*}:"}
    done
}

_zqk()
{
    local _zqk_words _zqk_cword
    _zqk_join_words
    local cur=${_zqk_words[_zqk_cword]} prev=${_zqk_words[_zqk_cword - 1]}
    local command="" i position=0 word
    COMPREPLY=()
    case $prev in
        --sim-dir) _zqk_local_paths "$cur" folders; return ;;
        --trace) _zqk_local_paths "$cur"; return ;;
        --sim-mode) COMPREPLY=($(compgen -W "app bootloader ate" -- "$cur")); return ;;
        --device | -d)
            if [[ $cur == sim:* ]]; then
                _zqk_local_paths "${cur#sim:}" folders
                COMPREPLY=("${COMPREPLY[@]/#/sim:}")
                compopt -o nospace 2>/dev/null
            else
                _zqk_add_matching "$cur" < <(printf 'sim:\n'; "${_zqk_words[0]}" devices 2>/dev/null | awk 'NR > 1 {print $1; print $2}')
            fi
            _zqk_after_colon "$cur"
            return
            ;;
        --vid | --pid | --usage-page | --usage | --timeout | --modify-window) return ;;
    esac
    # The command, and which of its arguments is being completed.
    for ((i = 1; i < _zqk_cword; i++)); do
        word=${_zqk_words[i]}
        case $word in
            --device | -d | --vid | --pid | --usage-page | --usage | --sim-dir | --sim-mode | --timeout | \
                --modify-window | --trace) ((i++)) ;;
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
        ls | cat | rm | mkdir | rmdir | mv) side=device ;;
        get) [[ $cur == /* || $position -eq 0 ]] && side=device || side=local ;;
        put) [[ $cur == /* ]] && side=device || side=local ;;
        pull) ((position == 0)) && side=device || side=folders ;;
        push) ((position == 0)) && side=folders || side=device ;;
        flash | trace) side=local ;;
        mount) side=folders ;;
    esac
    case $side in
        device)
            _zqk_add_matching "$cur" < <(_zqk_device_paths "$cur")
            _zqk_after_colon "$cur"
            compopt -o nospace 2>/dev/null
            ;;
        local) _zqk_local_paths "$cur" files ;;
        folders) _zqk_local_paths "$cur" folders ;;
    esac
}

complete -o filenames -F _zqk zqk
