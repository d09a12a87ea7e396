#!/usr/bin/env bash
# The bash completion offers every command and every option mdfrecover --help lists, and nothing
# it does not know.
# Usage: check_completion.sh MDFRECOVER COMPLETION_FILE
set -euo pipefail
program=$1
completion=$2
failures=0
commands=$("$program" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }')
for c in $commands; do
  grep -q "\b$c\b" "$completion" || { echo "command $c is not completed"; failures=$((failures + 1)); }
  for option in $("$program" "$c" --help | grep -oE -- '^ +(-[a-z],)?--[a-z][a-z-]*' | grep -o -- '--[a-z-]*' | sort -u); do
    [ "$option" = --help ] && continue
    # The option must be offered in this command's own line of the completion.
    if ! awk -v c="$c" '$0 ~ "(^|[ |])" c "[ |)]" { on = 1 } on { print } on && /;;/ { on = 0 }' \
        "$completion" | grep -q -- "$option\b"; then
      echo "$c: $option is not completed"
      failures=$((failures + 1))
    fi
  done
done
echo "$failures problems"
[ "$failures" -eq 0 ]
