#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every configuration key of the bridge appears in the configuration file's manual page.
# The keys are the bridge's options without their dashes (all but --config, --help and
# --version).
# Usage: config_page_test.sh PAGE.md TOOL [SUBCOMMAND...]
set -euo pipefail
page=$1; shift
source "$(dirname "$0")/help_words.sh"
missing=0
for option in $(help_options "$@" | grep -e '^--' | grep -vxe --config -e --help -e --version); do
    key=${option#--}
    if ! grep -qE -- "(^|[^a-z-])$key([^a-z-]|$)" "$page"; then
        echo "$(basename "$page"): the key '$key' is not described"
        missing=1
    fi
done
((missing == 0)) && echo "$(basename "$page"): every key of '$*' is described"
exit "$missing"
