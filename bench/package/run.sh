#!/bin/bash
# Package sizes of the demo product (its 2.0.0 as the demo builds it, as farlink-pack's full package and as
# its delta), then (a zip without a manifest, farlink-pack's full package and its delta with 1 % of the files
# changed) for the 5,000-file bench product, and the extra time of the manifest's checks in a whole
# installation at 5,000 and 20,000 files beside an installation of a package without one.
# Usage: bench/package/run.sh [build-dir] [work-dir]
# The work folder needs about 3 GiB free and is removed at the end.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
work="${2:-$(mktemp -d "${TMPDIR:-/var/tmp}/package-bench.XXXXXX")}"

cmake -S "$root" -B "$build" -DFARLINK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target package_bench farlink-pack farlink-standins >/dev/null
bench="$build/bench/package/package_bench"
export PATH="$build/tools/bin:$PATH" FARLINK_STANDIN_SCOPE="$work"
trap 'rm -rf "$work"' EXIT

# The demo's 1.0.0 and 2.0.0 (tools/demo/run-demo.sh lays them out so), without config.ini.
demo_sizes() {
    local old="$work/demo-1.0.0" new="$work/demo-2.0.0" standin="$build/tools/bin/product-standin"
    mkdir -p "$old/QuillonServer" "$old/plugins"
    for exe in Quillon.exe QuillonServer/QuillonDaemon.exe QuillonServer/QuillonServer.exe; do
        cp "$standin" "$old/$exe"
    done
    echo "Quillon 1.0.0" >"$old/readme.txt"
    head -c 300000 /dev/urandom >"$old/plugins/codec.dat"
    printf 'listen=127.0.0.1\n' >"$old/QuillonServer/server.conf"
    cp -a "$old" "$new"
    echo "Quillon 2.0.0" >"$new/readme.txt"
    head -c 400000 /dev/urandom >"$new/plugins/codec.dat"
    head -c 200000 /dev/urandom >"$new/plugins/whiteboard.dat"
    printf 'Quillon 2.0.0\n- shared whiteboard\n- faster codec\n' >"$new/release-notes.txt"
    { cat "$standin"; printf '\nQuillon daemon 2.0.0\n'; } >"$new/QuillonServer/QuillonDaemon.exe"
    pack="$build/tools/pack/farlink-pack"
    "$pack" full "$new" --version 2.0.0 -o "$work/demo-full.zip" >/dev/null
    "$pack" delta "$old" "$new" --version 2.0.0 --base-version 1.0.0 -o "$work/demo-delta.zip" >/dev/null
    stat -c '  %n %s bytes' "$work/demo-full.zip" "$work/demo-delta.zip"
}

echo "== package sizes, the demo product"
demo_sizes
echo "== package sizes, 5,000 files, 1 % changed"
"$bench" sizes "$work" 5000 256 10
echo "== package sizes, 20,000 files, 1 % changed"
"$bench" sizes "$work" 20000 512 10
echo "== whole installation, 5,000 files"
"$bench" install "$work" 5000 256 4
echo "== whole installation, 20,000 files"
"$bench" install "$work" 20000 512 2
