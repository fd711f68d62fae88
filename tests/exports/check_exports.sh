#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks that a shared orvex library exports its public API and nothing else.
#   check_exports.sh LIBRARY HEADER_DIR...
# Every exported symbol must be a member of the orvex namespaces (or the type information,
# virtual table or thunk of one), and every orvex name in it, the function's or class's own
# and those of its parameter types, must be declared in the headers under HEADER_DIR:
# nothing of orvex::detail, no internal class, no instance of another library's template.
set -euo pipefail
lib=$1
shift

# The names the headers declare at namespace level: classes, structs, enumerations, and
# the free functions marked for export.
public=$( (grep -rhoE --include='*.hpp' \
             '^(class|struct|enum class|enum) +(ORVEX_[A-Z_]+ +)?[A-Za-z_][A-Za-z0-9_]* *[:{]' "$@" |
             sed -E 's/ *[:{]$//; s/.* //'
           grep -rhoE --include='*.hpp' '^ORVEX_[A-Z_]*EXPORT [^(;]*[A-Za-z_][A-Za-z0-9_]*\(' "$@" |
             sed -E 's/\($//; s/.*[^A-Za-z0-9_]//') | sort -u)
if [ -z "$public" ]; then
  echo "no public declarations found under $*"
  exit 2
fi

symbols=$(nm -DC --defined-only "$lib" | cut -d' ' -f3-)
if [ -z "$symbols" ]; then
  echo "$lib exports nothing"
  exit 1
fi

bad=$(
  while IFS= read -r symbol; do
    head=${symbol#typeinfo name for }
    head=${head#typeinfo for }
    head=${head#vtable for }
    head=${head#non-virtual thunk to }
    head=${head#virtual thunk to }
    head=${head#guard variable for }
    if [[ $head != orvex::* ]]; then
      echo "$symbol"
      continue
    fi
    # Every orvex name in the symbol, with its namespace levels taken off.
    for name in $(grep -oE 'orvex::((platform|sim|bluez|record|detail)::)?[A-Za-z_][A-Za-z0-9_]*' \
                    <<<"$symbol" | sort -u); do
      case $name in
        orvex::detail::*) echo "$symbol"; break ;;
      esac
      if ! grep -qxF "${name##*::}" <<<"$public"; then
        echo "$symbol"
        break
      fi
    done
  done <<<"$symbols")

count=$(wc -l <<<"$symbols")
if [ -n "$bad" ]; then
  echo "$(basename "$lib") exports $(wc -l <<<"$bad") of its $count symbols outside the public API:"
  echo "$bad"
  exit 1
fi
echo "$(basename "$lib"): $count exported symbols, all of the public API"
