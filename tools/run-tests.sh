#!/bin/bash
# Sets up a fresh Debian 12 machine, builds into build/ and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-build-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
cd build
ctest --output-on-failure -j2
