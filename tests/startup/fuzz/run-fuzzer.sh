#!/bin/bash
# Builds the update-information fuzzer with clang (libFuzzer + AddressSanitizer) and runs it for a
# bounded time on a scratch copy of the seed corpus. Any crash, leak, hang (10 s per input) or
# memory blow-up (4 GiB) fails.
# Usage: run-fuzzer.sh <scratch folder> <seconds>
set -euo pipefail

root=$(cd "$(dirname "$0")/../../.." && pwd)
scratch=$1
seconds=$2

if ! command -v clang++ >/dev/null; then
    echo "clang++ not found: install clang and libclang-rt-14-dev" >&2
    exit 1
fi

rm -rf "$scratch"
mkdir -p "$scratch/corpus" "$scratch/artifacts"
cp "$root/tests/startup/data/fuzz-corpus/"* "$scratch/corpus/"

# shellcheck disable=SC2046 # pkg-config output is a list of flags
clang++ -std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/src/startup" $(pkg-config --cflags Qt5Core) \
    "$root/tests/startup/fuzz/UpdateInfoFuzzer.cpp" "$root/src/startup/UpdateInfoParser.cpp" \
    $(pkg-config --libs Qt5Core) -o "$scratch/UpdateInfoFuzzer"

cd "$scratch"
export LSAN_OPTIONS="suppressions=$root/tests/startup/fuzz/lsan.supp:print_suppressions=0"
status=0
./UpdateInfoFuzzer -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -dict="$root/tests/startup/fuzz/json.dict" -artifact_prefix=artifacts/ -print_final_stats=1 corpus ||
    status=$?
if ((status != 0)); then
    echo "Fuzzing failed (exit code $status); the failing input is kept in $scratch/artifacts" >&2
fi
exit "$status"
