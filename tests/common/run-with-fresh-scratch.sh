#!/bin/sh
# Runs a test with empty temporary and program-data folders: a run that was killed may have left work
# folders, logs or locks there that the next run would otherwise meet, and also a small file system mounted
# to fill a disk, or files made unchangeable (chattr +i), which would keep the folders from being emptied.
# Usage: run-with-fresh-scratch.sh <scratch folder> <test executable> [arguments...]
scratch="$1"
shift
awk -v inside="$scratch/" 'index($2, inside) == 1 { print $2 }' /proc/mounts | sort -r | xargs -r -n1 umount
[ -d "$scratch/tmp" ] && chattr -R -i "$scratch/tmp" 2>/dev/null
rm -rf "$scratch/tmp" "$scratch/programdata" || exit 1
mkdir -p "$scratch/tmp" "$scratch/programdata" || exit 1
exec "$@"
