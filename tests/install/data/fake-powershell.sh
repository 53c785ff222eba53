#!/bin/bash
# Fake Windows PowerShell for the extraction tests. Decodes -EncodedCommand,
# records what it was given (in $FAKE_PS_DIR) and behaves as $FAKE_PS_MODE asks:
# exit0, exit1, extract-exit0, extract-exit1 or hang.
record="$FAKE_PS_DIR"
mkdir -p "$record"
echo $$ >"$record/pid"
printf '%s\n' "$@" >"$record/args"
pwd >"$record/cwd"
printf '%s' "$3" | base64 -d | iconv -f UTF-16LE -t UTF-8 >"$record/script" || exit 99

case "$FAKE_PS_MODE" in
hang) exec sleep 60 ;;
extract-*)
    package=$(sed -n "s/^try { Expand-Archive -LiteralPath '\(.*\)' -DestinationPath '.*$/\1/p" "$record/script" |
        sed "s/''/'/g")
    bsdtar -xf "$package" -C "$PWD"
    ;;
esac

case "$FAKE_PS_MODE" in
*exit0) exit 0 ;;
*)
    echo "Expand-Archive failed" >&2
    exit 1
    ;;
esac
