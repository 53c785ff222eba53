#!/bin/bash
# Sets up a fresh Debian 12 machine, builds into build/ (warnings are errors, no benchmarks) and the Windows
# program into build-windows/, and runs every test, the short fuzzing runs (label "fuzz") and the run of the
# Windows program under Wine (label "wine") included.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-build-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DFARLINK_BUILD_BENCHMARKS=OFF
cmake --build build
# The Windows program and stand-ins, which tst_updaterwine runs under Wine.
bash tools/windows/build.sh
cd build
ctest --output-on-failure -j2
