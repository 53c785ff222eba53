#!/bin/sh
# Runs the Windows platform layer, cross-compiled into WinPlatformProbe.exe, under Wine. This is the only
# check of the Windows code, so anything missing (compiler, Wine, a prefix Wine can start in) is a failure.
#
# usage: check-windows-platform.sh <wine64> <WinPlatformProbe.exe> <prefix folder>

set -u
wine=$1
probe=$2
prefix=$3
wineserver=$(dirname "$wine")/wineserver
ready_marker="$prefix/.farlink-prefix-ready"
failures=0

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

check() {
    if [ "$2" = "$3" ]; then
        echo "PASS $1"
    else
        echo "FAIL $1: got [$2], expected [$3]"
        failures=$((failures + 1))
    fi
}

[ -x "$wine" ] || fail "wine64 not found (looked for '$wine'); install Debian's wine64"
[ -f "$probe" ] || fail "probe '$probe' was not built; the mingw-w64 cross compiler is missing"

# No display is needed; the overrides keep Wine from offering to install Mono and Gecko.
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Ends the wine server of this prefix (and with it every Wine process this check started), so that nothing
# outlives the test.
trap '"$wineserver" -k 2>/dev/null; "$wineserver" -w 2>/dev/null' EXIT

# Creating a prefix takes tens of seconds; it is kept in the build folder and reused once complete. An
# interrupted creation is simply run again: wineboot completes an existing prefix.
if [ ! -f "$ready_marker" ]; then
    mkdir -p "$prefix" || fail "cannot create Wine prefix '$prefix'"
    echo "creating Wine prefix $prefix"
    "$wine" wineboot -i >/dev/null 2>&1 || fail "Wine cannot start: 'wine64 wineboot -i' failed"
    "$wineserver" -w
    touch "$ready_marker"
fi

# One server for all the runs below. Left to itself, each run's server ends a few seconds after its last
# process, and a run that starts just then can fail to connect (exit code 1, no output). A server that an
# interrupted check left behind is ended first; this one ends by itself a minute after its last process.
"$wineserver" -k 2>/dev/null
"$wineserver" -w 2>/dev/null
"$wineserver" -p60 || fail "cannot start the Wine server"

output=$("$wine" "$probe" admin 2>/dev/null) || fail "Wine cannot run '$probe'"
check "administrator check" "$output" "administrator"

for how in terminate exit; do
    for code in 0 1 42 255; do
        output=$("$wine" "$probe" "$how" "$code" 2>/dev/null)
        check "$how $code: exit code" "$?" "$code"
        check "$how $code: ends before shutdown code" "$output" "ending"
    done
done

"$wine" "$probe" relaunch-cases 2>/dev/null || failures=$((failures + 1))
"$wine" "$probe" private-folder-cases 2>/dev/null || failures=$((failures + 1))
"$wine" "$probe" system-folder-cases 2>/dev/null || failures=$((failures + 1))
# Copies of the probe started for watching: how they end (an exception code counts as a crash), the
# arguments they receive, and whether the process list shows them running.
"$wine" "$probe" watch-cases 2>/dev/null || failures=$((failures + 1))

# The recovery command for the next administrator logon, as another process (reg) sees it.
check_run_once() {
    key='HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce'
    name=FarlinkUpdaterCheck
    command='"C:\Program Files\Farlink\FarlinkUpdater.exe" --recover "C:\Program Files\Quillon\Quillon.exe"'
    "$wine" "$probe" runonce-set "$name" "$command" 2>/dev/null
    check "RunOnce set: exit code" "$?" 0
    seen=$("$wine" reg query "$key" /v "$name" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$name *REG_SZ *//p")
    check "RunOnce set: value" "$seen" "$command"
    for round in first again; do
        "$wine" "$probe" runonce-remove "$name" 2>/dev/null
        check "RunOnce removed ($round): exit code" "$?" 0
    done
    "$wine" reg query "$key" /v "$name" >/dev/null 2>&1
    check "RunOnce removed: value gone" "$?" 1
}

# Wine cannot flush a whole volume (Windows can, for administrators); files and folders it can.
check_flush() {
    echo "journal" >"$prefix/drive_c/farlink-flush-check.txt"
    output=$("$wine" "$probe" flush 'C:\farlink-flush-check.txt' 2>/dev/null | tr -d '\r')
    check "flush of a file and its folder" "${output% volume:*}" "file:1 folder:1"
    output=$("$wine" "$probe" flush 'C:\no such file.txt' 2>/dev/null | tr -d '\r')
    check "flush of a missing file fails" "${output% folder:*}" "file:0"
}

# The file-safety layer on what only Unix can make here (the probe makes the rest and checks). Wine 8 makes
# no reparse points (CreateSymbolicLinkW and mklink do nothing), shows a Unix link as what it points at and
# deletes that when asked to delete the link, keeps no access list it is given, and reports every file of
# its Unix user as owned by the Wine user, with a list derived from the Unix mode (sticky bit and group
# ignored, owner and group given the same rights). So Wine cannot show: a junction or symbolic link removed
# or copied as itself, a folder or file that passes a trust check (owned by Administrators, SYSTEM or
# TrustedInstaller, a protected list), a NULL access list, entries for children only, a replaced file's owner
# or exact list (only whether Everyone is granted anything), a parent folder held open against renaming, or
# a write cut short by a full disk.
check_file_safety() {
    fixture="$prefix/drive_c/farlink-safety"
    rm -rf "$fixture"
    mkdir -p "$fixture/other" "$fixture/tree/sub" "$fixture/open" &&
        printf 'keep\n' >"$fixture/other/keep.txt" &&
        printf 'plain\n' >"$fixture/tree/sub/plain.txt" &&
        printf 'theirs\n' >"$fixture/foreign.txt" &&
        printf 'closed\n' >"$fixture/closed.ini" &&
        chmod 600 "$fixture/closed.ini" &&
        ln -s other/keep.txt "$fixture/file-link" &&
        ln -s other "$fixture/folder-link" &&
        ln -s nowhere "$fixture/dangling" &&
        ln -s ../../other/keep.txt "$fixture/tree/sub/file-link" &&
        ln -s ../../other "$fixture/tree/sub/folder-link" &&
        chmod 777 "$fixture/open" &&
        chown 65534 "$fixture/foreign.txt" || fail "cannot lay out $fixture"
    "$wine" "$probe" file-safety-cases 'C:\farlink-safety' 2>/dev/null || failures=$((failures + 1))
    rm -rf "$fixture"
}

check_run_once
check_flush
check_file_safety

[ "$failures" -eq 0 ] || fail "$failures Windows platform check(s) failed"
echo "all Windows platform checks passed"
