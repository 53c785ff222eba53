#!/bin/bash
# Builds the Windows updater and its Windows stand-ins with mingw-w64, and lays out the folder a product
# team ships:
#
#   build-windows/deps/      the Windows dependencies (tools/windows/build-deps.sh)
#   build-windows/build/     the CMake build; the stand-ins land in build-windows/build/tools/bin
#   build-windows/deploy/    FarlinkUpdater.exe, the DLLs it loads, platforms/qwindows.dll, styles/
#
# and checks the executable: GUI subsystem, its manifest embedded (asInvoker, Common Controls 6), and
# every DLL that it or a deployed DLL imports either in the folder or one that Windows provides.
#
# usage: build.sh       FARLINK_WINDOWS_BUILD_DIR builds elsewhere than build-windows/
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
out=${FARLINK_WINDOWS_BUILD_DIR:-$repo/build-windows}
build="$out/build"
deploy="$out/deploy"
objdump=x86_64-w64-mingw32-objdump
# Wine's builtin Windows DLLs: the DLLs that Windows itself provides, as far as this machine can tell.
windows_dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows

fail() {
    echo "build.sh: $*" >&2
    exit 1
}

FARLINK_WINDEPS_CACHE=${FARLINK_WINDEPS_CACHE:-$out/deps} bash "$repo/tools/windows/build-deps.sh"

# Only the program and its stand-ins: the unit tests run in the Linux build.
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DFARLINK_WINDEPS_DIR="${FARLINK_WINDEPS_CACHE:-$out/deps}" \
    -DCMAKE_INSTALL_PREFIX="$deploy" -DBUILD_TESTING=OFF -DFARLINK_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target FarlinkUpdater farlink-standins
rm -rf "$deploy"
cmake --install "$build" --strip >/dev/null

exe="$deploy/FarlinkUpdater.exe"
headers=$("$objdump" -p "$exe")
grep -q '^Subsystem.*(Windows GUI)' <<<"$headers" || fail "$exe is not a GUI-subsystem program"
x86_64-w64-mingw32-objcopy -O binary --only-section=.rsrc "$exe" "$build/resources.bin"
manifest=$(tr -d '\0' <"$build/resources.bin")
for part in 'level="asInvoker"' 'name="Microsoft.Windows.Common-Controls"' 'version="6.0.0.0"'; do
    grep -qF -- "$part" <<<"$manifest" || fail "the manifest embedded in $exe lacks $part"
done

missing=0
while IFS= read -r -d '' module; do
    for dll in $("$objdump" -p "$module" | sed -n 's/^\s*DLL Name: //p'); do
        if [ -z "$(find "$deploy" "$windows_dlls" -maxdepth 1 -iname "$dll")" ]; then
            echo "build.sh: ${module#"$deploy"/} imports $dll, which is neither deployed nor part of Windows" >&2
            missing=$((missing + 1))
        fi
    done
done < <(find "$deploy" -iname '*.exe' -print0 -o -iname '*.dll' -print0)
[ "$missing" -eq 0 ] || fail "$missing import(s) would not load on Windows"

echo "build.sh: $deploy is ready:"
(cd "$deploy" && find . -type f | sort | sed 's|^\./|    |')
