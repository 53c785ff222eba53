#!/bin/bash
# Kills the real updater at random moments of many installations of a demo product (2,000 files in 20
# folders by default) and reports what each kill left in the program folder: per step, the old version
# intact, the new version intact, a mixed folder whose complete backup puts the old version back, or
# files lost. Once with a package that installs (kills then also land in its trial, on the watcher), once
# with one whose extraction fails (kills then land in the restore). Run by hand, as root; about 35 minutes
# for the default 2 x 50 kills on two cores.
#
# Usage: bench/faults/run-faults.sh [--runs N] [--files N] [--build DIR] [--work DIR] [--seed N] [--hidden]
#   --runs N    kills of each kind (default 50)
#   --files N   small files in the demo product (default 2000)
#   --build DIR build folder (default build/); FarlinkUpdater and the stand-ins are built there
#   --work DIR  work folder (default: a new one under $TMPDIR or /var/tmp); kept only for runs that failed
#   --seed N    random seed, to repeat a series of kill moments
#   --hidden    the product also holds a hidden file that the new version replaces
# Exit code 0 when no kill lost a file or left a backup that does not put the old version back.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$root/build"
args=()
while (($#)); do
    case "$1" in
    --build) build="$2"; shift 2 ;;
    --runs | --files | --work | --seed) args+=("$1" "$2"); shift 2 ;;
    --hidden) args+=("$1"); shift ;;
    -h | --help) sed -n '2,${/^#/!q;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
    esac
done

[[ "$(id -u)" == 0 ]] || { echo "Run as root: the updater needs administrator rights." >&2; exit 2; }
for tool in python3 bsdtar cmake ninja; do
    command -v "$tool" >/dev/null || { echo "missing $tool: run tools/install-build-deps.sh" >&2; exit 2; }
done

if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target FarlinkUpdater farlink-standins farlink-testkit >/dev/null

export PYTHONDONTWRITEBYTECODE=1
# The verdicts first: they must tell a lost file from a recoverable one before any figure counts.
if ! checks="$(python3 -m unittest discover -s "$root/bench/faults" 2>&1)"; then
    echo "$checks" >&2
    exit 1
fi
echo "verdict checks: $(tail -n 3 <<<"$checks" | head -n 1)"
exec python3 "$root/bench/faults/faults.py" --build "$build" "${args[@]}"
