# Bash completion for the quarn command. The subcommands, the options of each and the values an
# option takes are read from the command's --help (made from its table of subcommands), so they
# stay those the installed command takes.
_quarn_help_options() {
    # The option lines of `quarn SUB --help`: "  -h, --help", "  --ccsid N|NAME", "  -o OUT".
    "$1" "$2" --help 2>/dev/null | sed -n '/^options:/,/^  example:/p' | grep -E '^  -'
}

_quarn() {
    local cur prev sub lines
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    local subs
    subs=$("${COMP_WORDS[0]}" --help 2>/dev/null | sed -n 's/^  \([a-z][a-z0-9]*\) .*/\1/p')
    if [ "$COMP_CWORD" -eq 1 ]; then
        COMPREPLY=($(compgen -W "$subs help --help --version" -- "$cur"))
        return
    fi
    sub=${COMP_WORDS[1]}
    case $sub in
        # quarn help SUBCOMMAND shows that subcommand's help.
        help|--help|-h)
            [ "$COMP_CWORD" -eq 2 ] && COMPREPLY=($(compgen -W "$subs" -- "$cur"))
            return ;;
    esac
    lines=$(_quarn_help_options "${COMP_WORDS[0]}" "$sub")
    case $prev in
        --ccsid|--out-ccsid)
            COMPREPLY=($(compgen -W "1208 1200 37 500 819 1047 1252 utf-8 utf-16 utf-16be utf-16le ibm-037 ibm-500 ibm-1047 iso-8859-1 windows-1252" -- "$cur"))
            return ;;
        --encoding|--out-encoding) COMPREPLY=($(compgen -W "546 273 785" -- "$cur")); return ;;
    esac
    if [[ $prev == -* ]]; then
        # The value the help names after the option, given by its long name or its short one
        # ("  -t, --type elem|attr|text"): alternatives (be|le), files, or anything.
        local placeholder
        placeholder=$(printf '%s\n' "$lines" | sed -n -e "s/^  \(-[a-zA-Z], \)\{0,1\}$prev \([^ ]*\).*/\2/p" \
            -e "s/^  $prev, --[a-z-]* \([^ ]*\).*/\1/p" | head -n 1)
        case $placeholder in
            "") ;;
            *'|'*) COMPREPLY=($(compgen -W "${placeholder//|/ }" -- "$cur")); return ;;
            FILE|FILE...|OUT) COMPREPLY=($(compgen -f -- "$cur")); return ;;
            *) return ;;
        esac
    fi
    if [[ $cur == -* ]]; then
        local options
        options=$(printf '%s\n' "$lines" | grep -oE '^  (-[a-zA-Z], )?--?[a-zA-Z][a-z-]*' | tr -d ' ' | tr ',' '\n')
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    if [ "$sub" = batch ]; then
        COMPREPLY=($(compgen -d -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -o filenames -F _quarn quarn
