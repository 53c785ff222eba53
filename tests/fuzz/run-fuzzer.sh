#!/bin/bash
# Builds one libFuzzer target with clang (libFuzzer + AddressSanitizer + UBSan), whatever compiler builds
# the project, and runs it for a bounded time on a scratch copy of its seed corpus. Any crash, leak, hang
# (10 s per input) or memory blow-up (4 GiB) fails. The binary is rebuilt only when a source or a header
# of the include folders has changed. FARLINK_FUZZ_SECONDS, when set, overrides the time: the test command
# runs each target for a few seconds, a longer search is run by hand.
# Usage: run-fuzzer.sh <name> <scratch folder> <seconds> <corpus folder> <dictionary or ""> \
#            <LeakSanitizer suppressions or ""> <pkg-config modules> <include folders> -- <sources...>
# The modules and the include folders are each one argument, separated by ':'.
set -euo pipefail

name=$1 scratch=$2 seconds=${FARLINK_FUZZ_SECONDS:-$3} corpus=$4 dictionary=$5 suppressions=$6
IFS=':' read -r -a modules <<<"$7"
IFS=':' read -r -a includes <<<"$8"
shift 8
[[ "${1:-}" == "--" ]] && shift
sources=("$@")

if ! command -v clang++ >/dev/null; then
    echo "clang++ not found: install clang and libclang-rt-14-dev" >&2
    exit 1
fi

mkdir -p "$scratch"
binary="$scratch/$name"
stamp=$(cat "${sources[@]}" $(for dir in "${includes[@]}"; do ls "$dir"/*.h 2>/dev/null; done) | sha256sum)
if [[ ! -x "$binary" || "$(cat "$binary.sources" 2>/dev/null)" != "$stamp" ]]; then
    flags=()
    for dir in "${includes[@]}"; do flags+=("-I$dir"); done
    # shellcheck disable=SC2046 # pkg-config output is a list of flags
    clang++ -std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
        "${flags[@]}" $(pkg-config --cflags "${modules[@]}") "${sources[@]}" \
        $(pkg-config --libs "${modules[@]}") -o "$binary"
    echo "$stamp" >"$binary.sources"
fi

rm -rf "$scratch/corpus" "$scratch/artifacts"
mkdir -p "$scratch/corpus" "$scratch/artifacts"
cp "$corpus"/* "$scratch/corpus/"

options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -artifact_prefix=artifacts/
    -print_final_stats=1)
[[ -n "$dictionary" ]] && options+=(-dict="$dictionary")
[[ -n "$suppressions" ]] && export LSAN_OPTIONS="suppressions=$suppressions:print_suppressions=0"

cd "$scratch"
status=0
"./$name" "${options[@]}" corpus || status=$?
if ((status != 0)); then
    echo "Fuzzing $name failed (exit code $status); the failing input is kept in $scratch/artifacts" >&2
fi
exit "$status"
