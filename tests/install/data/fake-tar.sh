#!/bin/bash
# Sits in front of the project's tar stand-in in the extraction tests. Records
# its arguments and whether the fake PowerShell was still alive when it started
# (in $FAKE_TAR_DIR); fails, hangs or exits 0 without extracting (stub) when
# $FAKE_TAR_MODE says so, or extracts and then leaves more than the package in
# the folder (plant-*), as a tar that read another archive in the file would,
# or cuts short a file the package does not carry (plant-short).
record="$FAKE_TAR_DIR"
mkdir -p "$record"
echo $$ >"$record/pid"
printf '%s\n' "$@" >"$record/args"
if [ -s "$FAKE_PS_DIR/pid" ] && kill -0 "$(cat "$FAKE_PS_DIR/pid")" 2>/dev/null; then
    echo alive
else
    echo gone
fi >"$record/powershell-at-start"

case "$FAKE_TAR_MODE" in
fail)
    echo "tar: cannot extract" >&2
    exit 1
    ;;
hang) exec sleep 60 ;;
stub) exit 0 ;;
plant-*)
    "$FARLINK_TOOLS_BIN/tar" "$@" || exit
    folder="$4"
    case "$FAKE_TAR_MODE" in
    plant-file) echo planted >"$folder/planted.txt" ;;
    plant-folder) mkdir "$folder/planted" ;;
    plant-link) ln -s /etc "$folder/QuillonServer/etc" ;;
    plant-fifo) mkfifo "$folder/planted.pipe" ;;
    plant-setuid) chmod u+s "$folder/app.exe" ;;
    plant-short) truncate -s 1 "$folder/base.dll" ;;
    esac
    exit
    ;;
esac
exec "$FARLINK_TOOLS_BIN/tar" "$@"
