# SPDX-License-Identifier: Apache-2.0
# Sourced by the docs tests: what a command of the tool accepts, asked of the tool itself.

# The option names of `"$@" --help`, one a line (e.g. --sim, -v, --verbose).
help_options() {
    "$@" --help | awk '/^  +-/ { n = split($1, names, ","); for (i = 1; i <= n; i++) if (names[i] ~ /^-/) print names[i] }'
}

# The subcommand names of `"$@" --help`, one a line.
help_subcommands() {
    "$@" --help | awk '/^[A-Za-z][A-Za-z ]*:$/ { section = $0; next }
                       section ~ /^Subcommands/ && /^  [a-z]/ { print $1 }'
}

# Every command path of the tool, one a line ("" for the tool itself, then "scan",
# "contact", "contact encode", ...).
command_paths() {
    local tool=$1 prefix=${2:-}
    echo "$prefix"
    local sub
    for sub in $(help_subcommands "$tool" $prefix); do
        command_paths "$tool" "${prefix:+$prefix }$sub"
    done
}
