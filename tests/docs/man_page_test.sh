#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every subcommand and option that the tool accepts appears in its manual page.
# Usage: man_page_test.sh PAGE.md TOOL [SUBCOMMAND...]
#   the options of TOOL SUBCOMMAND... and of every command below it must be in PAGE.md,
#   each as `--option` (or `-o`), and each subcommand as a term: **orvex contact encode**. A command
#   named in $ELSEWHERE (e.g. bridge) has a page of its own: only its name is checked here.
set -euo pipefail
page=$1; shift
source "$(dirname "$0")/help_words.sh"
[ -f "$page" ] || { echo "no manual page source $page"; exit 1; }
tool=$1; shift
missing=0
while IFS= read -r path; do
    full="$*"
    [ -n "$path" ] && full="${full:+$full }$path"
    # A command is described under a term of its own (**orvex contact encode** ...), or
    # under its subcommands' terms.
    if [ -n "$path" ] && ! grep -qE -- "\*\*$(basename "$tool") $full( [a-z-]+)*\*\*" "$page"; then
        echo "$(basename "$page"): the command '$full' is not described"
        missing=1
    fi
    [[ " ${ELSEWHERE:-} " == *" ${path%% *} "* && -n $path ]] && continue
    for option in $(help_options "$tool" $full); do
        if ! grep -qE -- "(^|[^a-z-])$option([^a-z-]|$)" "$page"; then
            echo "$(basename "$page"): '${full:+$full }$option' is not described"
            missing=1
        fi
    done
done < <(command_paths "$tool" "$*" | sed "s|^$*||; s|^ ||")
((missing == 0)) && echo "$(basename "$page"): every command and option of '$(basename "$tool")${*:+ $*}' is described"
exit "$missing"
