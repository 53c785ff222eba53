#!/bin/bash
# Downloads a 256 MiB package from a loopback HTTP server with the engine and with curl -o,
# in the same run and from the same server, and prints wall time and peak resident memory
# of each. Targets: engine peak <= package + 64 MiB; engine wall time <= 1.25 x curl's.
# Then the same package from a server that closes the connection at every tenth of it: the engine resumes
# by itself, curl -C - is started again until it has the whole file.
# Usage: bench/download/run.sh [build-dir] [rounds]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
rounds="${2:-3}"
package_mib=256

if [[ ! -x /usr/bin/time ]]; then
    echo "needs /usr/bin/time (Debian package: time)" >&2
    exit 1
fi
cmake -S "$root" -B "$build" -DFARLINK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target download_bench >/dev/null
bench="$build/bench/download/download_bench"

work="$(mktemp -d)"
server_pids=()
cleanup() {
    for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# A real zip (the engine checks it after the download): one stored file of random bytes.
head -c $((package_mib << 20)) /dev/urandom >"$work/payload.bin"
(cd "$work" && zip -q -0 package.zip payload.bin && rm payload.bin)
# Starts a server of the package (extra arguments: its mode) and sets url to it.
start_server() {
    rm -f "$work/port"
    "$bench" serve "$work/package.zip" "$@" >"$work/port" 2>/dev/null &
    server_pids+=($!)
    until grep -qs '^port ' "$work/port"; do sleep 0.1; done
    url="http://127.0.0.1:$(awk '/^port/ {print $2}' "$work/port")/package.zip"
}
start_server

now_ms() { echo $(($(date +%s%N) / 1000000)); }

run_curl() {
    local start
    start=$(now_ms)
    /usr/bin/time -f %M -o "$work/curl.rss" curl -s -o "$work/curl.zip" "$url"
    curl_ms=$(($(now_ms) - start))
    cmp -s "$work/package.zip" "$work/curl.zip" || { echo "curl's copy differs" >&2; exit 1; }
}

run_engine() {
    local start
    start=$(now_ms)
    /usr/bin/time -f %M -o "$work/engine.rss" "$bench" fetch "$url" "$work/programdata" >"$work/engine.out" 2>/dev/null
    engine_ms=$(($(now_ms) - start))
    cmp -s "$work/package.zip" "$work/programdata"/QuillUpdate_*/update.zip || { echo "engine's copy differs" >&2; exit 1; }
}

printf '%-6s %-20s %-58s %s\n' round "curl -o" "engine (in-process: total = transfer + write)" "engine/curl"
ratios=() worst_rss=0
for round in $(seq "$rounds"); do
    rm -rf "$work/curl.zip" "$work/programdata"
    mkdir "$work/programdata"
    # Alternating the order keeps page-cache and warm-up effects from favouring one side.
    if ((round % 2)); then run_curl; run_engine; else run_engine; run_curl; fi

    curl_rss=$(tail -1 "$work/curl.rss")
    engine_rss=$(tail -1 "$work/engine.rss")
    read -r inner transfer write < <(awk '/^engine:/ {print $2, $5, $8}' "$work/engine.out")
    ratio=$(awk -v e="$engine_ms" -v c="$curl_ms" 'BEGIN {printf "%.2f", e / c}')
    ratios+=("$ratio")
    printf '%-6s %-20s %-58s %s\n' "$round" \
        "$(awk -v t="$curl_ms" -v m="$curl_rss" 'BEGIN {printf "%.3f s, %d MiB", t / 1000, m / 1024}')" \
        "$(awk -v t="$engine_ms" -v m="$engine_rss" -v i="$inner" -v a="$transfer" -v b="$write" \
            'BEGIN {printf "%.3f s, %d MiB (%.3f s = %.3f s + %.3f s)", t / 1000, m / 1024, i, a, b}')" \
        "$ratio"
    if ((engine_rss > worst_rss)); then worst_rss=$engine_rss; fi
done

median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{r[NR] = $1} END {print (NR % 2) ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2}')
awk -v m="$median" -v r="$worst_rss" -v p="$package_mib" 'BEGIN {
    printf "median engine/curl wall time: %.2f (target <= 1.25): %s\n", m, (m <= 1.25) ? "met" : "MISSED"
    printf "engine peak RSS: %d MiB for a %d MiB package (target <= %d MiB): %s\n",
        r / 1024, p, p + 64, (r / 1024 <= p + 64) ? "met" : "MISSED"
}'

# curl -C - asks for the rest of the file it has, as often as the server cuts it.
run_curl_resumed() {
    local start
    rm -f "$work/curl.zip"
    curl_runs=0
    start=$(now_ms)
    until ((++curl_runs)) && curl -s -C - -o "$work/curl.zip" "$url"; do :; done
    curl_ms=$(($(now_ms) - start))
    cmp -s "$work/package.zip" "$work/curl.zip" || { echo "curl's resumed copy differs" >&2; exit 1; }
}

# The bytes the server has reported sending so far, and the bytes sent since a count, in packages.
sent_bytes() { awk '/^sent/ {n = $2} END {print n + 0}' "$work/port"; }
sent_since() {
    sleep 0.2
    awk -v now="$(sent_bytes)" -v before="$1" -v size="$(stat -c %s "$work/package.zip")" \
        'BEGIN {printf "%.2f", (now - before) / size}'
}

start_server cut
echo
echo "cut at every 10 %"
printf '%-6s %-34s %s\n' round "curl -C - until complete" "engine (reconnections; time without its 1 s pauses)"
for round in $(seq "$rounds"); do
    rm -rf "$work/programdata"
    mkdir "$work/programdata"
    before=$(sent_bytes)
    run_curl_resumed
    curl_sent=$(sent_since "$before")
    before=$(sent_bytes)
    run_engine
    engine_sent=$(sent_since "$before")
    reconnections=$(awk '/^reconnections/ {print $2}' "$work/engine.out")
    printf '%-6s %-34s %s\n' "$round" \
        "$(awk -v t="$curl_ms" -v r="$curl_runs" -v s="$curl_sent" \
            'BEGIN {printf "%.3f s, %d runs, %.2f x sent", t / 1000, r, s}')" \
        "$(awk -v t="$engine_ms" -v n="$reconnections" -v s="$engine_sent" \
            'BEGIN {printf "%.3f s, %.2f x sent (%d; %.3f s)", t / 1000, s, n, t / 1000 - n}')"
done
