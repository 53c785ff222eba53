#!/bin/bash
# Backup plus restore (durable: journal and flush) of a 20,000-file, 512 MiB program folder beside cp -a; sync there
# and back (target: at most 1.5 x cp -a), one whole installation of that folder
# from a downloaded package against the stand-ins, and the growth of the
# disk-space check, backup, extraction and restore from 5,000 to 50,000 files.
# Usage: bench/backup/run.sh [build-dir] [work-dir]
# The work folder needs about 4 GiB free and is removed at the end; a folder on
# tmpfs (/dev/shm/...) takes the disk, and other jobs' use of it, out of the figures.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
work="${2:-$(mktemp -d "${TMPDIR:-/var/tmp}/backup-bench.XXXXXX")}"

cmake -S "$root" -B "$build" -DFARLINK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target backup_bench farlink-standins >/dev/null
bench="$build/bench/backup/backup_bench"
# The tar, taskkill and tasklist stand-ins first: the engine finds its tools through PATH. The shutdown
# step ends processes by image name; the stand-ins see only what lies in the work folder.
export PATH="$build/tools/bin:$PATH" FARLINK_STANDIN_SCOPE="$work"
trap 'rm -rf "$work"' EXIT

echo "== backup + restore, durable, beside cp -a; sync"
"$bench" copy "$work" 20000 512 5
echo "== whole installation"
"$bench" install "$work" 20000 512
echo "== growth from 5,000 to 50,000 files"
"$bench" scale "$work" 5000 50000 1024 5
