# bash completion for zrqctl. The commands and their options come from
# `zrqctl --help`, so a new command completes without touching this file.

_zrqctl_help()
{
    "${COMP_WORDS[0]}" --help 2>/dev/null
}

_zrqctl()
{
    local cur prev words cword
    _init_completion 2>/dev/null || {
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
    }
    local help commands
    help=$(_zrqctl_help)
    commands=$(awk '/^Commands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } /^$/ { on = 0 }' <<<"$help")

    # The command being written, if any: the nearest command word before.
    local i command=""
    for ((i = COMP_CWORD - 1; i > 0; i--)); do
        if grep -qx -- "${COMP_WORDS[i]}" <<<"$commands"; then
            command=${COMP_WORDS[i]}
            break
        fi
    done

    case $prev in
        --units)
            # A job's own units are inches or millimetres; the global option
            # also takes tenths of a mil.
            if [[ $command == job ]]; then
                COMPREPLY=($(compgen -W "in mm" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "in mm tmil" -- "$cur"))
            fi
            return
            ;;
        --tool) COMPREPLY=($(compgen -W "pen laser mill" -- "$cur")); return ;;
        job | --preview) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --root) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --trace-wire | run) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --com | --port | terminal) COMPREPLY=($(compgen -W "1 2 3 4 5 6 7 8" -- "$cur")); return ;;
        pen) COMPREPLY=($(compgen -W "up down" -- "$cur")); return ;;
        laser | trace | wait-mode) COMPREPLY=($(compgen -W "on off" -- "$cur")); return ;;
        jog) COMPREPLY=($(compgen -W "x y z r" -- "$cur")); return ;;
        mode) COMPREPLY=($(compgen -W "2d 3d" -- "$cur")); return ;;
    esac

    if [[ $cur == -* || $command == job ]]; then
        # The options of the command being written (its help line and the
        # indented lines under it), else the global ones.
        local options
        if [[ -n $command ]]; then
            options=$(awk -v c="$command" '$1 == c { on = 1; print; next }
                on && /^            / { print; next } { on = 0 }' <<<"$help" | grep -o -- '--[a-z-]*')
        else
            options=$(awk '/^Options/ { on = 1; next } on && /^  -/ { print } /^$/ { on = 0 }' <<<"$help" |
                grep -o -- '--[a-z-]*')
        fi
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        # A job takes its file anywhere among its options.
        [[ $command == job && $cur != -* ]] && COMPREPLY+=($(compgen -f -- "$cur"))
        return
    fi
    COMPREPLY=($(compgen -W "$commands" -- "$cur"))
}

complete -F _zrqctl zrqctl
