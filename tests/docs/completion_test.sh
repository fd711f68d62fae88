#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The bash completion of orvex: it registers itself, and completes subcommands and the
# options of the subcommand being typed, as bash would call it on <TAB>.
# Usage: completion_test.sh COMPLETION-FILE DIR-OF-THE-TOOL
set -euo pipefail
completion=$1
export PATH="$2:$PATH"

registered=$(bash -c 'source "$1"; complete -p orvex' _ "$completion")
if [[ $registered != *"-F _orvex"*" orvex" ]]; then
    echo "sourcing the completion does not register it for orvex: '$registered'"
    exit 1
fi

# What <TAB> offers for a command line; the last word is the one being completed.
offers() {
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _orvex
             printf "%s\n" "${COMPREPLY[@]}" | sort' _ "$completion" "$@"
}

failed=0
# case name | command line (words separated by spaces; a trailing "_" is an empty word) |
# must offer | must not offer
while IFS='|' read -r name line want unwanted; do
    read -ra words <<<"$line"
    [[ ${words[-1]} == _ ]] && words[-1]=""
    got=$(offers "${words[@]}" | tr '\n' ' ')
    for w in $want; do
        [[ " $got" == *" $w "* ]] || { echo "$name: '$line' does not offer $w (offers: $got)"; failed=1; }
    done
    for w in $unwanted; do
        [[ " $got" != *" $w "* ]] || { echo "$name: '$line' offers $w (offers: $got)"; failed=1; }
    done
done <<'CASES'
every subcommand after the tool's name|orvex _|bridge contact decode demo info list replay scan watch write-contact|--sim
a subcommand from its first letters|orvex wa|watch|scan
the tool's own options|orvex --ve|--verbose --version|--sim
the options of the subcommand typed|orvex scan --s|--sim --sim-name --sim-no-tag|--spool --sim-trigger-every
options after other options and values|orvex scan --sim --delay 0.5 --j|--json|--json-lines
the logging options after a subcommand|orvex info --sim -|--verbose --trace --timeout|--record
the subcommands of a subcommand|orvex contact _|decode encode|scan
the options of a nested subcommand|orvex contact decode --|--help|--sim
the bridge's options|orvex bridge --spool|--spool --spool-limit --spool-sync|--sim-name
CASES
((failed == 0)) && echo "completion: every case offers what it should"
exit "$failed"
