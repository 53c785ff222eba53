#!/bin/bash
# The demo, in one command on a fresh Debian 12 machine (as root):
#
#     bash tools/demo/run-demo.sh
#
# Installs what is missing, builds the updater and the product stand-ins into build/, lays out a running
# Quillon 1.0.0 installation in demo-output/product, serves a 2.0.0 package from a loopback HTTP server,
# and runs the real updater in mode "manual" on a virtual display (Xvfb). Screenshots of the window while
# downloading, while installing and on success land in demo-output/screenshots; at the end it prints what
# changed in the product. Everything it started is ended when it ends. FARLINK_BUILD_DIR chooses another
# build folder.
set -euo pipefail

repo="$(cd "$(dirname "$0")/../.." && pwd)"
build="${FARLINK_BUILD_DIR:-$repo/build}"
out="$repo/demo-output"
product="$out/product"
bin="$build/tools/bin"
updater="$build/src/startup/FarlinkUpdater"
info="$out/handover/quillon-update.json"
log="$out/standin-log.txt"
updater_log="$out/updater-log.txt"
package_name="quillon-2.0.0.zip"
download_seconds=8
limit_seconds=120

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

lay_out_product() {
    copy_standin "$product/Quillon.exe"
    copy_standin "$product/QuillonServer/QuillonDaemon.exe"
    copy_standin "$product/QuillonServer/QuillonServer.exe"
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
    echo "Quillon 1.0.0" >"$product/readme.txt"
    head -c 300000 /dev/urandom >"$product/plugins/codec.dat"
    printf 'listen=127.0.0.1\n' >"$product/QuillonServer/server.conf"
}

build_package() {
    local staging="$out/package"
    mkdir -p "$staging/plugins" "$staging/QuillonServer"
    echo "Quillon 2.0.0" >"$staging/readme.txt"
    head -c 400000 /dev/urandom >"$staging/plugins/codec.dat"
    head -c 200000 /dev/urandom >"$staging/plugins/whiteboard.dat"
    printf 'Quillon 2.0.0\n- shared whiteboard\n- faster codec\n' >"$staging/release-notes.txt"
    # The new daemon: the stand-in with a version mark appended, so that its replacement shows.
    { cat "$bin/product-standin"; printf '\nQuillon daemon 2.0.0\n'; } >"$staging/QuillonServer/QuillonDaemon.exe"
    chmod 755 "$staging/QuillonServer/QuillonDaemon.exe"
    "$bin/farlink-testkit" zip "$staging" "$out/served/$package_name"
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
    "sha256": "$(sha256sum <"$out/served/$package_name" | cut -c1-64)",
    "memo": "What's new in Quillon 2.0.0:\\n1. Shared whiteboard in every session\\n2. Faster screen codec"
}
EOF
}

report() {
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
    echo "  leftover work folders: $(find "$out/programdata" -mindepth 1 -maxdepth 1 | wc -l)," \
        "backup folders: $(find "$product" -maxdepth 1 -name '_update_backup_*' | wc -l)"

    say "config.ini before and after"
    diff -u --label before --label after "$out/config-before.ini" "$product/config.ini" || true

    say "Product processes, as the stand-ins recorded them (image, event, pid, working directory, arguments)"
    sed 's/^/  /' "$log"

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
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target FarlinkUpdater farlink-standins farlink-testkit

    rm -rf "$out"
    mkdir -p "$out/screenshots" "$out/programdata" "$out/served" "$out/handover" "$product/plugins"
    # The hand-over folder is the updater's temporary folder, as the product's temp folder is on Windows:
    # only there does the updater delete the information file and its companion folder.
    export FARLINK_STANDIN_LOG="$log" FARLINK_STANDIN_LIFETIME_S=300 PROGRAMDATA="$out/programdata" \
        TMPDIR="$out/handover"
    export PATH="$bin:$PATH"
    # The stand-ins' taskkill and tasklist act only on the demo's own product processes.
    export FARLINK_STANDIN_SCOPE="$product"

    say "Laying out Quillon 1.0.0 in demo-output/product and starting it"
    lay_out_product
    manifest "$product" >"$out/manifest-before.txt"
    cp "$product/config.ini" "$out/config-before.ini"
    start_running_product
    build_package
    start_server
    start_display
    write_update_information
    echo "package: demo-output/served/$package_name ($(stat -c %s "$out/served/$package_name") bytes)," \
        "served at http://127.0.0.1:$(cat "$out/server.port")/ over $download_seconds s; display $DISPLAY"

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

    report
    ((status == 0)) || exit "$status"
}

main "$@"
