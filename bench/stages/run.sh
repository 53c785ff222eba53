#!/bin/bash
# One whole update of a 5,000-file, 100 MiB program folder with the real engine (download from a loopback
# server, the package's check, shutdown, journal and backup, extraction, the check after it, config,
# clean-up), step by step beside the physical floor measured in the same run: curl of the package, cp -a of
# the folder, bsdtar -xf of the package, rm -rf of the copy. The installation's fixed pauses are not slept
# (their sum is printed); the "added" column is what the updater costs beyond the floor.
# Usage: bench/stages/run.sh [build-dir] [work-dir] [rounds] [files] [MiB]
# The work folder needs about 500 MiB and is removed at the end. It defaults to one in /dev/shm (tmpfs), so
# that this machine's disk, whose speed varies tenfold from one minute to the next, stays out of the figures.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
base="${TMPDIR:-/var/tmp}"
[[ -d /dev/shm ]] && base=/dev/shm
work="${2:-$(mktemp -d "$base/stages-bench.XXXXXX")}"
rounds="${3:-5}"

for tool in curl bsdtar; do
    command -v "$tool" >/dev/null || { echo "needs $tool (Debian packages curl, libarchive-tools)" >&2; exit 1; }
done
cmake -S "$root" -B "$build" -DFARLINK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target stages_bench farlink-standins >/dev/null
# The tar, taskkill and tasklist stand-ins first: the engine finds its tools through PATH. The shutdown step
# ends processes by image name; the stand-ins see only what lies in the work folder.
export PATH="$build/tools/bin:$PATH" FARLINK_STANDIN_SCOPE="$work"
trap 'rm -rf "$work"' EXIT
"$build/bench/stages/stages_bench" run "$work" "${4:-5000}" "${5:-100}" "$rounds"
