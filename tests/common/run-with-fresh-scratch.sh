#!/bin/sh
# Runs a test with empty temporary and program-data folders: a run that was killed may have left work
# folders, logs or locks there that the next run would otherwise meet.
# Usage: run-with-fresh-scratch.sh <scratch folder> <test executable> [arguments...]
scratch="$1"
shift
rm -rf "$scratch/tmp" "$scratch/programdata" || exit 1
mkdir -p "$scratch/tmp" "$scratch/programdata" || exit 1
exec "$@"
