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
    # Reads the two literals by PowerShell's own rules: ' and U+2018 to U+201B all open and close a
    # single-quoted string, and two of them in a row stand for the second one. Anything else in the script
    # than the expected command around them means a path broke out of its quotes.
    { IFS= read -r -d '' package && IFS= read -r -d '' destination; } < <(python3 - "$record/script" <<'PARSE'
import sys

QUOTES = "'\u2018\u2019\u201a\u201b"
script = open(sys.argv[1], encoding="utf-8").read()


def literal(start):
    if start >= len(script) or script[start] not in QUOTES:
        sys.exit(98)
    value, i = [], start + 1
    while i < len(script):
        if script[i] in QUOTES:
            if i + 1 < len(script) and script[i + 1] in QUOTES:
                value.append(script[i + 1])
                i += 2
                continue
            return "".join(value), i + 1
        value.append(script[i])
        i += 1
    sys.exit(98)


head = "try { Expand-Archive -LiteralPath "
middle = " -DestinationPath "
tail = " -Force -ErrorAction Stop; exit 0 } catch { Write-Error $_; exit 1 }"
if not script.startswith(head):
    sys.exit(98)
package, end = literal(len(head))
if not script.startswith(middle, end):
    sys.exit(98)
destination, end = literal(end + len(middle))
if script[end:] != tail:
    sys.exit(98)
sys.stdout.write(package + "\0" + destination + "\0")
PARSE
    ) || exit 98
    bsdtar -xf "$package" -C "$destination"
    ;;
esac

case "$FAKE_PS_MODE" in
*exit0) exit 0 ;;
*)
    echo "Expand-Archive failed" >&2
    exit 1
    ;;
esac
