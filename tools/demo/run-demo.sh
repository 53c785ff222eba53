#!/bin/bash
# The demo, in one command on a fresh Debian 12 machine (as root):
#
#     bash tools/demo/run-demo.sh [--bad-release]
#
# Installs what is missing, builds the updater (the demo's public key built in), the product stand-ins,
# and farlink-pack into build-demo/, lays out a running Quillon 1.0.0 installation in
# demo-output/product, packs 2.0.0 with farlink-pack as a delta from 1.0.0 signed with the demo key
# (tools/demo/demo-key.pem), serves it from a loopback HTTP server, and runs the real updater in mode "manual"
# on a virtual display (Xvfb). Screenshots of the window while downloading, while installing and on success
# land in demo-output/screenshots. The update is then on trial for a few seconds under the updater's watcher;
# once the trial is over the demo prints the package and what changed in the product and checks the outcome
# (exit code 1 when it is not the expected one). Everything it started is ended when it ends. With
# FARLINK_BUILD_DIR set, it builds into "$FARLINK_BUILD_DIR-demo".
#
#   --bad-release  the 2.0.0 main program crashes a second after its start: the watcher puts 1.0.0 back,
#                  records the failed version in config.ini and starts the old main program and daemon;
#                  the account of it is also saved as demo-output/screenshots/4-rolled-back.png
set -euo pipefail

bad_release=false
case "${1:-}" in
"") ;;
--bad-release) bad_release=true ;;
-h | --help) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
*) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
esac

repo="$(cd "$(dirname "$0")/../.." && pwd)"
# A folder of its own: the updater built here trusts only the demo key, and the shared build stays unkeyed.
build="${FARLINK_BUILD_DIR:-$repo/build}-demo"
out="$repo/demo-output"
release="$out/release-1.0.0"
product="$out/product"
bin="$build/tools/bin"
updater="$build/src/startup/FarlinkUpdater"
pack="$build/tools/pack/farlink-pack"
# A key pair for this demo only, kept in the repository so that anyone can rebuild the demo; it signs nothing
# that is shipped.
key="$repo/tools/demo/demo-key.pem"
public_key="$repo/tools/demo/demo-key.pub"
info="$out/handover/quillon-update.json"
log="$out/standin-log.txt"
updater_log="$out/updater-log.txt"
package_name="quillon-1.0.0-2.0.0.zip"
download_seconds=8
limit_seconds=120
# Short, so that the demo waits little for the trial's end; the product's default is a minute.
trial_seconds=10
# The stand-in's way of crashing, carried in the executable's own bytes (see tools/standins).
crash_mode="FARLINK_STANDIN_MODE=crash-after-ms:1000"

pids=()
updater_pid=""

say() { printf '\n== %s\n' "$*"; }
elapsed() { echo $((SECONDS - $1)); }

# The demo's own processes only: those it started itself, and the product processes recorded in the
# stand-in log whose executable lies in the demo product folder.
end_demo_processes() {
    if [[ -n "$updater_pid" ]]; then
        kill "$updater_pid" 2>/dev/null || true
    fi
    local watcher
    for watcher in $(watcher_pids); do
        kill "$watcher" 2>/dev/null || true
    done
    if [[ -f "$log" ]]; then
        while IFS=$'\t' read -r _ _ pid _; do
            if [[ "$(readlink "/proc/$pid/exe" 2>/dev/null)" == "$product/"* ]]; then
                kill "$pid" 2>/dev/null || true
            fi
        done <"$log"
    fi
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}
trap end_demo_processes EXIT

# Alive and not a zombie: an ended process whose parent has not collected it is gone for the user.
is_running() { # pid
    local stat
    stat="$(cat "/proc/$1/stat" 2>/dev/null)" || return 1
    [[ "$(cut -d ' ' -f 1 <<<"${stat##*) }")" != Z ]]
}

# The updater's watcher of the demo product's trial: the updater run with --watch on its main executable.
watcher_pids() {
    local cmdline
    for cmdline in /proc/[0-9]*/cmdline; do
        if [[ "$(tr '\0' '\n' 2>/dev/null <"$cmdline" | sed -n 2,3p)" == $'--watch\n'"$product/Quillon.exe" ]]; then
            basename "$(dirname "$cmdline")"
        fi
    done
}

wait_for_file() { # path seconds
    local deadline=$((SECONDS + $2))
    until [[ -s "$1" ]]; do
        ((SECONDS < deadline)) || { echo "timed out waiting for $1" >&2; exit 1; }
        sleep 0.1
    done
}

wait_for() { # description seconds command...
    local what="$1" deadline=$((SECONDS + $2))
    shift 2
    until "$@"; do
        ((SECONDS < deadline)) || { echo "timed out waiting for $what" >&2; exit 1; }
        kill -0 "$updater_pid" 2>/dev/null || { echo "the updater ended early; see $updater_log" >&2; exit 1; }
        sleep 0.1
    done
}

server_logged() { grep -qF -- "$1" "$out/server-log.txt"; }
product_version_is() { grep -qx "Version=$1" "$product/config.ini"; }

wait_for_trial_end() {
    local deadline=$((SECONDS + trial_seconds + limit_seconds))
    while [[ -n "$(watcher_pids)" ]]; do
        ((SECONDS < deadline)) || { echo "timed out waiting for the trial's end" >&2; exit 1; }
        sleep 0.2
    done
}

# Only the updater's own work folders count: the program-data folder also holds its log folder.
leftover_work_folders() { find "$out/programdata" -mindepth 1 -maxdepth 1 -name 'QuillUpdate_*' | wc -l; }
backup_folders() { find "$product" -maxdepth 1 -name '_update_backup_*' | wc -l; }
nothing_left_in_product() { (($(backup_folders) == 0)) && [[ ! -e "$product/_update_backup_journal.json" ]]; }

# The log file of the run that watched the trial, and that of the run that installed.
watcher_log() { grep -lF -- "--watch" "$out/programdata/FarlinkUpdater/logs/"*.log 2>/dev/null | tail -n 1; }
watcher_said() { grep -qF -- "$1" "$(watcher_log)"; }
install_log() { grep -lF -- "开始解压更新包" "$out/programdata/FarlinkUpdater/logs/"*.log 2>/dev/null | tail -n 1; }
installer_said() { grep -qF -- "$1" "$(install_log)"; }
installed_delta_as_listed() { installer_said "增量，基础版本 1.0.0" && installer_said "清单校验通过"; }

# The last process the stand-ins recorded with this image and event runs, from the demo product's file.
runs_in_product() { # image event
    local pid
    pid="$(awk -F '\t' -v image="$1" -v event="$2" '$1 == image && $2 == event { pid = $3 } END { print pid }' "$log")"
    [[ -n "$pid" ]] && is_running "$pid" && [[ "$(readlink "/proc/$pid/exe")" == "$product/"* ]]
}

# A service starts, and a main program is started, a moment after the command that starts it has returned.
eventually() { # command...
    local deadline=$((SECONDS + 10))
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}

same_files_but_config() {
    diff <(grep -v '  config\.ini$' "$out/manifest-before.txt") <(grep -v '  config\.ini$' "$out/manifest-after.txt")
}

# config.ini: the old file with exactly the two keys of the failed version added.
config_records_failure() {
    local added
    added="$(diff "$out/config-before.ini" "$product/config.ini" | grep '^[<>]' || true)"
    [[ "$(wc -l <<<"$added")" == 2 && "$(sed -n 1p <<<"$added")" == "> FailedVersion=2.0.0" &&
        "$(sed -n 2p <<<"$added")" == "> FailedTime="?* ]]
}

# The window's area of the screen (the card sits in the bottom-right corner); the whole screen when the
# window cannot be found.
screenshot() { # file
    local geometry=""
    local window
    window="$(xdotool search --onlyvisible --pid "$updater_pid" 2>/dev/null | tail -n 1 || true)"
    if [[ -n "$window" ]]; then
        eval "$(xdotool getwindowgeometry --shell "$window")"
        geometry="-crop ${WIDTH}x${HEIGHT}+${X}+${Y} +repage"
    fi
    # shellcheck disable=SC2086
    import -window root $geometry "$out/screenshots/$1"
    echo "saved demo-output/screenshots/$1"
}

copy_standin() { # target path
    mkdir -p "$(dirname "$1")"
    cp "$bin/product-standin" "$1"
}

manifest() { # folder
    (cd "$1" && find . -type f -printf '%P\n' | LC_ALL=C sort | while read -r f; do
        printf '%s  %s\n' "$(sha256sum <"$f" | cut -c1-64)" "$f"
    done)
}

# Release 1.0.0 as its team keeps it, the base of the delta; config.ini is the installation's own.
lay_out_release() {
    copy_standin "$release/Quillon.exe"
    copy_standin "$release/QuillonServer/QuillonDaemon.exe"
    copy_standin "$release/QuillonServer/QuillonServer.exe"
    echo "Quillon 1.0.0" >"$release/readme.txt"
    head -c 300000 /dev/urandom >"$release/plugins/codec.dat"
    head -c 100000 /dev/urandom >"$release/plugins/legacy-codec.dat"
    printf 'listen=127.0.0.1\n' >"$release/QuillonServer/server.conf"
}

lay_out_product() {
    lay_out_release
    cp -a "$release/." "$product"
    cat >"$product/config.ini" <<'EOF'
[App]
Version=1.0.0
Language=en

[Network]
RelayPort=4819

[Update]
LastCheckTime=2024-05-01 09:00:00
LastPromptTime=2024-05-01 09:00:05
EOF
}

# Release 2.0.0: 1.0.0 with changed files, new ones, an updated daemon and the legacy codec gone; packed as
# the product team would, a signed delta that carries only what changed.
build_package() {
    local staging="$out/release-2.0.0"
    cp -a "$release" "$staging"
    rm "$staging/plugins/legacy-codec.dat"
    echo "Quillon 2.0.0" >"$staging/readme.txt"
    head -c 400000 /dev/urandom >"$staging/plugins/codec.dat"
    head -c 200000 /dev/urandom >"$staging/plugins/whiteboard.dat"
    printf 'Quillon 2.0.0\n- shared whiteboard\n- faster codec\n' >"$staging/release-notes.txt"
    # The new daemon: the stand-in with a version mark appended, so that its replacement shows.
    { cat "$bin/product-standin"; printf '\nQuillon daemon 2.0.0\n'; } >"$staging/QuillonServer/QuillonDaemon.exe"
    if $bad_release; then
        { cat "$bin/product-standin"; printf '\nQuillon 2.0.0\n\n%s\n' "$crash_mode"; } >"$staging/Quillon.exe"
    fi
    "$pack" delta "$release" "$staging" --version 2.0.0 --base-version 1.0.0 -o "$out/served/$package_name" \
        --key "$key" >"$out/package-values.txt" 2>"$out/pack-log.txt"
    # Only for the size beside the delta's: the full package that any older version could take.
    "$pack" full "$staging" --version 2.0.0 -o "$out/quillon-2.0.0-full.zip" >/dev/null 2>>"$out/pack-log.txt"
}

start_running_product() {
    # Disowned: the updater ends it, and the shell would report that.
    (cd "$product" && exec ./Quillon.exe) &
    pids+=($!)
    disown
    (cd "$product/QuillonServer" && ./QuillonDaemon.exe run)
}

start_server() {
    # Slowly enough that a person can watch the package arrive.
    "$bin/farlink-testkit" serve "$out/server.port" "$download_seconds" "$out/served/$package_name" \
        >"$out/server-log.txt" 2>&1 &
    pids+=($!)
    wait_for_file "$out/server.port" 10
}

start_display() {
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$out/display.number" 2>"$out/xvfb-log.txt" &
    pids+=($!)
    wait_for_file "$out/display.number" 15
    DISPLAY=":$(tr -d '[:space:]' <"$out/display.number")"
    export DISPLAY
}

write_update_information() {
    local url
    url="http://127.0.0.1:$(cat "$out/server.port")/$package_name"
    mkdir -p "$out/handover/quillon-update"
    echo "<p>Quillon 2.0.0</p>" >"$out/handover/quillon-update/notes.html"
    cat >"$info" <<EOF
{
    "app_path": "$product/Quillon.exe",
    "new_version": "2.0.0",
    "download_url": "$url",
$(sed 's/^/    /; $s/$/,/' "$out/package-values.txt")
    "trial_seconds": $trial_seconds,
    "memo": "What's new in Quillon 2.0.0:\\n1. Shared whiteboard in every session\\n2. Faster screen codec"
}
EOF
}

check() { # description command...
    local what="$1"
    shift
    if "$@" >/dev/null; then
        echo "  ok      $what"
    else
        echo "  FAILED  $what"
        failures=$((failures + 1))
    fi
}

check_outcome() {
    say "Checks"
    failures=0
    check "no work folder (QuillUpdate_*) left in demo-output/programdata" test "$(leftover_work_folders)" -eq 0
    check "no backup folder and no journal left in the product" nothing_left_in_product
    check "the daemon's service runs" eventually runs_in_product QuillonDaemon.exe service
    check "the updater's log: the signature verified" installer_said "签名校验成功"
    check "the updater's log: a delta on 1.0.0, then every file as listed" installed_delta_as_listed
    check "the main program runs" eventually runs_in_product Quillon.exe start
    if $bad_release; then
        check "every file as 1.0.0 had it, byte for byte, but config.ini" same_files_but_config
        check "config.ini: 1.0.0's, with FailedVersion=2.0.0 and FailedTime added" config_records_failure
        check "the watcher's log says that the main program crashed" watcher_said "试用期检查未通过: 主程序崩溃退出"
    else
        check "config.ini says Version=2.0.0" product_version_is 2.0.0
        check "plugins/legacy-codec.dat, which 2.0.0 no longer has, is gone" test ! -e "$product/plugins/legacy-codec.dat"
        check "the watcher's log says that the trial passed" watcher_said "试用期通过，新版本已确认: 2.0.0"
    fi
    ((failures == 0)) || { echo "the demo did not end as expected" >&2; return 1; }
}

# The account of the rollback as an image, beside the window's screenshots: the window has ended by then.
# Pango finds a font for the log's Chinese where the monospace font has none. The stand-ins' records are
# left out: the processes now tell the same.
render_account() {
    local text
    text="$(awk '/^== Product processes, as/ { skip = 1; next } /^== / { skip = 0 } !skip' "$out/account.txt" |
        sed 's/&/\&amp;/g; s/</\&lt;/g; s/>/\&gt;/g')"
    convert -background white pango:"<span font=\"DejaVu Sans Mono 10\">$text</span>" \
        -bordercolor white -border 16 "$out/screenshots/4-rolled-back.png"
    echo "saved demo-output/screenshots/4-rolled-back.png"
}

describe_package() {
    echo "package: demo-output/served/$package_name, $(stat -c %s "$out/served/$package_name") bytes" \
        "(the full package: $(stat -c %s "$out/quillon-2.0.0-full.zip") bytes)"
    echo "  a delta from 1.0.0 to 2.0.0 made and signed with the demo key by farlink-pack"
    sed -n 1p "$out/pack-log.txt" | sed "s|$out/|demo-output/|; s/^/  /"
}

report() {
    say "The package"
    describe_package
    echo "  the updater's checks, from its log ($(basename "$(install_log)")):"
    grep -E '签名校验|更新包清单|清单校验|已删除新版本不再包含的路径' "$(install_log)" | sed 's/^/    /'

    say "What changed in demo-output/product"
    manifest "$product" >"$out/manifest-after.txt"
    join -j 2 -a 1 -a 2 -e '-' -o 0,1.1,2.1 \
        <(awk '{print $1, $2}' "$out/manifest-before.txt" | sort -k 2) \
        <(awk '{print $1, $2}' "$out/manifest-after.txt" | sort -k 2) |
        while read -r file before after; do
            if [[ "$before" == "-" ]]; then
                echo "  added     $file"
            elif [[ "$after" == "-" ]]; then
                echo "  removed   $file"
            elif [[ "$before" != "$after" ]]; then
                echo "  changed   $file"
            else
                echo "  unchanged $file"
            fi
        done
    echo "  leftover work folders: $(leftover_work_folders), backup folders: $(backup_folders)"

    say "config.ini before and after"
    diff -u --label before --label after "$out/config-before.ini" "$product/config.ini" || true

    say "Product processes, as the stand-ins recorded them (image, event, pid, working directory, arguments)"
    sed 's/^/  /' "$log"

    say "The trial, from the watcher's log ($(basename "$(watcher_log)"))"
    grep -E '试用期|主程序|守护进程|恢复原版本|已恢复完整|恢复完成|清理备份目录' "$(watcher_log)" | sed 's/^/  /'

    say "Product processes now"
    while IFS=$'\t' read -r image event pid folder rest; do
        [[ "$event" == start || "$event" == service ]] || continue
        local state="ended  "
        is_running "$pid" && state="running"
        echo "  $state $image (pid $pid, $event) in $folder, ${rest:+arguments: $rest}${rest:-no arguments}"
    done <"$log"
}

main() {
    [[ "$(id -u)" == 0 ]] || { echo "Run the demo as root: it installs packages and the updater needs administrator rights." >&2; exit 1; }
    cd "$repo"
    say "Installing what is missing"
    bash tools/install-build-deps.sh
    say "Building"
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DFARLINK_PACKAGE_PUBLIC_KEYS="$(tr -d '[:space:]' <"$public_key")" >/dev/null
    cmake --build "$build" -j2 --target FarlinkUpdater farlink-standins farlink-testkit farlink-pack

    rm -rf "$out"
    mkdir -p "$out/screenshots" "$out/programdata" "$out/served" "$out/handover" "$release/plugins" "$product"
    # The hand-over folder is the updater's temporary folder, as the product's temp folder is on Windows:
    # only there does the updater delete the information file and its companion folder.
    export FARLINK_STANDIN_LOG="$log" FARLINK_STANDIN_LIFETIME_S=300 PROGRAMDATA="$out/programdata" \
        TMPDIR="$out/handover"
    export PATH="$bin:$PATH"
    # The stand-ins' taskkill and tasklist act only on the demo's own product processes.
    export FARLINK_STANDIN_SCOPE="$product"

    say "Laying out release 1.0.0, installing it in demo-output/product and starting it"
    lay_out_product
    manifest "$product" >"$out/manifest-before.txt"
    cp "$product/config.ini" "$out/config-before.ini"
    start_running_product
    build_package
    start_server
    start_display
    write_update_information
    describe_package
    echo "served at http://127.0.0.1:$(cat "$out/server.port")/ over $download_seconds s; display $DISPLAY"

    say "Running the updater: FarlinkUpdater -i demo-output/handover/quillon-update.json -m manual"
    local start=$SECONDS downloaded installed finished
    QT_QPA_PLATFORM=xcb "$updater" -i "$info" -m manual >"$updater_log" 2>&1 &
    updater_pid=$!
    wait_for "the download to begin" 30 server_logged "GET /$package_name"
    sleep $((download_seconds / 2))
    screenshot 1-downloading.png
    wait_for "the download to end" $limit_seconds server_logged "sent"
    downloaded=$(elapsed "$start")
    sleep 3
    screenshot 2-installing.png
    wait_for "the new version in config.ini" $limit_seconds product_version_is 2.0.0
    installed=$(elapsed "$start")
    sleep 1.5
    screenshot 3-success.png
    local status=0
    wait "$updater_pid" || status=$?
    updater_pid=""
    finished=$(elapsed "$start")
    echo "updater exit code $status; package sent after ${downloaded} s, new version in config.ini after" \
        "${installed} s, updater ended after ${finished} s (log: demo-output/updater-log.txt)"
    ((status == 0)) || exit "$status"

    say "The trial: the updater's watcher watches Quillon 2.0.0 for $trial_seconds s"
    wait_for_trial_end
    echo "trial over after $(elapsed "$start") s"

    local checked=0
    report | tee "$out/account.txt"
    check_outcome | tee -a "$out/account.txt" || checked=$?
    if $bad_release; then
        render_account
    fi
    return "$checked"
}

main "$@"
