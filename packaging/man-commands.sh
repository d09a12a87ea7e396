#!/bin/sh
# Writes the help2man include file: the NAME line, and a COMMANDS section with every command's
# own --help, so that `man mdfrecover` tells as much as the help of each command.
# Usage: man-commands.sh PROGRAM OUTPUT
set -eu
program=$1
out=$2
commands=$("$program" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }')
{
  echo '[NAME]'
  echo 'mdfrecover \- recover a lost SQL Server data file (.mdf) from a disk, a partition or an image'
  echo
  echo '[COMMANDS]'
  for c in $commands; do
    echo ".SS $c"
    echo '.nf'
    # A line that begins with a dot or a quote would be read as a request: escape it.
    "$program" "$c" --help | sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/" \
      | sed -n '/^Exit status:/q;p'
    echo '.fi'
  done
  echo
  echo '[SEE ALSO]'
  echo 'The user guide: /usr/share/doc/mdfrecover/user-guide.md'
} > "$out"
