# SPDX-License-Identifier: Apache-2.0
# Bash completion for orvex (and orvex-bridge): subcommands and options, read from the
# tool's own --help at each <TAB>, so they are never out of date. Where nothing matches
# (an option's value, a script file), bash completes file names.
# zsh: autoload -U +X bashcompinit && bashcompinit && source this file.

# The words of `orvex [WORDS...] --help`: option names, then subcommand names.
_orvex_help_words() {
    "$@" --help 2>/dev/null | awk '
        /^[A-Za-z][A-Za-z ]*:$/ { section = $0; next }
        /^  +-/ {
            n = split($1, names, ",")
            for (i = 1; i <= n; i++) if (names[i] ~ /^-/) print names[i]
            next
        }
        section ~ /^Subcommands/ && /^  [a-z]/ { print $1 }'
}

_orvex() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local tool=${COMP_WORDS[0]}
    local -a path=()
    local i word
    # The subcommands named so far (options and their values are skipped).
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        [[ $word == -* ]] && continue
        if _orvex_help_words "$tool" "${path[@]}" | grep -qxF -- "$word"; then
            path+=("$word")
        fi
    done
    local words
    words=$(_orvex_help_words "$tool" "${path[@]}")
    if [[ $cur == -* ]]; then
        # The tool's logging options may follow any subcommand.
        ((${#path[@]})) && words+=$'\n'$(_orvex_help_words "$tool" | grep -e '^-')
        COMPREPLY=($(compgen -W "$(grep -e '^-' <<<"$words")" -- "$cur"))
    else
        COMPREPLY=($(compgen -W "$(grep -ve '^-' <<<"$words")" -- "$cur"))
    fi
}

complete -o default -F _orvex orvex orvex-bridge
