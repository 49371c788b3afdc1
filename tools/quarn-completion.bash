# Bash completion for the quarn command. The subcommands and the options of each are read from
# the command's --help, so they stay those the installed command takes.
_quarn() {
    local cur prev sub
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    if [ "$COMP_CWORD" -eq 1 ]; then
        local subs
        subs=$("${COMP_WORDS[0]}" --help 2>/dev/null | sed -n 's/^  \([a-z][a-z]*\) .*/\1/p')
        COMPREPLY=($(compgen -W "$subs help --help --version" -- "$cur"))
        return
    fi
    sub=${COMP_WORDS[1]}
    case $prev in
        --domain) COMPREPLY=($(compgen -W "XML JMSMap JMSStream" -- "$cur")); return ;;
        --ccsid|--out-ccsid)
            COMPREPLY=($(compgen -W "1208 1200 37 500 819 1047 1252 utf-8 utf-16 utf-16be utf-16le ibm-037 ibm-500 ibm-1047 iso-8859-1 windows-1252" -- "$cur"))
            return ;;
        --encoding|--out-encoding) COMPREPLY=($(compgen -W "546 273 785" -- "$cur")); return ;;
        --byte-order|--out-byte-order) COMPREPLY=($(compgen -W "be le" -- "$cur")); return ;;
        --error-format) COMPREPLY=($(compgen -W "text json" -- "$cur")); return ;;
        -o|--trace-file) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    esac
    if [[ $cur == -* ]]; then
        local options
        # The subcommand's own options and the common ones the command's help lists.
        options=$({ "${COMP_WORDS[0]}" "$sub" --help; "${COMP_WORDS[0]}" --help | sed -n '/^Common options/,/^$/p'; } \
                  2>/dev/null | grep -oE -- '(^|[ [|])--?[a-z][a-z-]*' | tr -d ' [|' | sort -u)
        COMPREPLY=($(compgen -W "$options --help" -- "$cur"))
        return
    fi
    if [ "$sub" = batch ]; then
        COMPREPLY=($(compgen -d -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -o filenames -F _quarn quarn
