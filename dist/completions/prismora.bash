# bash completion for prismora                             -*- shell-script -*-
# Kept in step with "prismora --help": the install test compares them.

_prismora()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} i
    case $prev in
        --red | --green | --blue)
            return # a name of one's own
            ;;
        --output)
            compopt -o filenames 2>/dev/null
            local IFS=$'\n'
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
        --jobs)
            COMPREPLY=($(compgen -W "$(seq 1 "$(nproc 2>/dev/null || echo 8)")" -- "$cur"))
            return
            ;;
    esac
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ ${COMP_WORDS[i]} == -- ]] && break
    done
    if ((i == COMP_CWORD)) && [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '--process --red --green --blue --jobs --recursive
            --update --output --watch --verbose -h --help --version' -- "$cur"))
        return
    fi
    # Folders, and only folders.
    compopt -o filenames 2>/dev/null
    local IFS=$'\n'
    COMPREPLY=($(compgen -d -- "$cur"))
} &&
    complete -F _prismora prismora
