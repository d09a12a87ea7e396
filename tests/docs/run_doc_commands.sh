#!/usr/bin/env bash
# Runs every mdfrecover command line shown in the code blocks of README.md and docs/user-guide.md,
# in the order written, against a disk image of the test world (an MBR disk, partition 1 a FAT32
# volume on which a database was deleted). Each document runs in a folder of its own; every
# command must end with exit status 0.
#
# The device names of the examples stand for the test world's images: /dev/sdb for the disk image,
# /dev/sdb1 for its first partition cut out as a volume image, /mnt/other/ for the folder the
# outputs go to; pubs.mdf is the real pubs file of the shared test data. Lines that are not mdfrecover's (./run, ./test, imaging tools) are not run here.
# Usage: run_doc_commands.sh MDFRECOVER MDF_SYNTH SOURCE_DIR
set -euo pipefail
mdfrecover=$1
synth=$2
root=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$synth" db --pages 640 --seed 11 --name 'D:\data\Sales.mdf' -o "$work/db.mdf" >/dev/null
"$synth" image --kind disk --cluster-sectors 4 --seed 11 --db "$work/db.mdf" \
  -o "$work/disk.img" >/dev/null
start=$(sfdisk --json "$work/disk.img" | grep -o '"start": *[0-9]*' | head -1 | grep -o '[0-9]*$')
size=$(sfdisk --json "$work/disk.img" | grep -o '"size": *[0-9]*' | head -1 | grep -o '[0-9]*$')
dd if="$work/disk.img" of="$work/volume.img" bs=512 skip="$start" count="$size" status=none

failures=0
ran=0
for doc in README.md docs/user-guide.md; do
  dir="$work/$(basename "$doc" .md)"
  mkdir -p "$dir/other"
  cp "$work/disk.img" "$dir/disk.img"
  # The examples of tables and rows read a real database file: pubs of the shared test data.
  cp "$root/../shared/testdata/pubs_sql2008.mdf" "$dir/pubs.mdf"
  # The lines of the fenced code blocks that call mdfrecover, indented or not.
  mapfile -t lines < <(awk '/^ *```/ { inside = !inside; next }
                           inside && $1 == "mdfrecover" { sub(/^ +/, ""); print }' "$root/$doc")
  [ ${#lines[@]} -gt 0 ] || { echo "FAIL: no command line found in $doc"; exit 1; }
  for line in "${lines[@]}"; do
    command=${line%%   #*}  # a comment after the command, set off by spaces
    command=${command//\/dev\/sdb1/$work\/volume.img}
    command=${command//\/dev\/sdb/$work\/disk.img}
    command=${command//\/mnt\/other\//$dir\/other\/}
    read -r -a argv <<<"$command"
    ran=$((ran + 1))
    status=0
    (cd "$dir" && "$mdfrecover" "${argv[@]:1}" >"$dir/last.log" 2>&1) || status=$?
    if [ "$status" -ne 0 ]; then
      echo "FAIL ($doc, exit status $status): $line"
      sed 's/^/    /' "$dir/last.log" | tail -20
      failures=$((failures + 1))
    else
      echo "ok   ($doc): $line"
    fi
  done
done
echo "$ran command lines run, $failures failed"
[ "$failures" -eq 0 ]
