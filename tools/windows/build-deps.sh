#!/bin/bash
# Makes the Windows dependencies of the updater available once, in a cache folder:
#
#   qt5-mingw64/         qtbase 5.15.8 for 64-bit Windows (DLLs, plugins, CMake packages, Linux host tools)
#   openssl-mingw64/     OpenSSL 3.0 for 64-bit Windows (libcrypto-3-x64.dll, import libraries, headers)
#   libarchive-mingw64/  libarchive 3.6 for 64-bit Windows (static library, headers, bsdtar.exe)
#
# Each folder is taken from the prebuilt tarball of the same name when one is there ($FARLINK_WINDEPS, else
# ../shared/windeps beside the repository), and otherwise built from Debian's source package with the
# posix-thread mingw-w64 compilers (about 20 minutes for Qt on two cores, a few for the others). A folder
# that is complete is left alone, so a second run does nothing.
#
# usage: build-deps.sh            cache: $FARLINK_WINDEPS_CACHE, else build-windows/deps
# Run as root on Debian 12 when something has to be built (it installs packages and adds a deb-src entry).
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
cache=${FARLINK_WINDEPS_CACHE:-$repo/build-windows/deps}
prebuilt=${FARLINK_WINDEPS:-$repo/../shared/windeps}
jobs=$(nproc)
triplet=x86_64-w64-mingw32
ready=.farlink-ready

# The libraries Qt's Windows build names with capitals; mingw-w64 ships them in lower case, which a
# case-sensitive disk does not find.
capitalised_libraries=(Secur32 Crypt32 Ws2_32 Advapi32 Shell32 User32 Ole32 Gdi32 Dnsapi Iphlpapi Bcrypt
    Ncrypt Winmm Imm32 Uxtheme Dwmapi Version Netapi32 Userenv Mpr Shlwapi Wtsapi32 Oleaut32 Uuid)

say() { echo "build-deps: $*"; }
die() {
    echo "build-deps: $*" >&2
    exit 1
}

is_ready() { [ -f "$cache/$1/$ready" ]; }

unpack_prebuilt() {
    local name=$1 tarball="$prebuilt/$1.tar.xz"
    [ -f "$tarball" ] || return 1
    say "unpacking $tarball"
    rm -rf "${cache:?}/$name"
    tar -xJf "$tarball" -C "$cache" || die "cannot unpack $tarball"
    [ -d "$cache/$name" ] || die "$tarball does not hold the folder $name/"
    touch "$cache/$name/$ready"
}

install_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    say "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# apt-get source needs a deb-src entry for bookworm's main component; Debian's images carry none.
ensure_deb_src() {
    local entry=/etc/apt/sources.list.d/farlink-deb-src.sources
    if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ &&
        ! grep -qs '^deb-src' /etc/apt/sources.list; then
        say "adding the deb-src entry $entry"
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\n%s\n' \
            'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' >"$entry"
    fi
    apt-get update -qq
}

# Unpacks Debian's source package into <cache>/src and prints the folder it made.
fetch_source() {
    local package=$1 src="$cache/src"
    mkdir -p "$src"
    (cd "$src" && apt-get source -qq "$package" >/dev/null) || die "apt-get source $package failed"
    find "$src" -mindepth 1 -maxdepth 1 -type d -name "$2*" | sort | tail -n 1
}

# x86_64-w64-mingw32-gcc/-g++ resolve to the win32-thread compilers by default; Qt's threads, and every
# library linked with it, need the posix ones.
posix_compilers() {
    local bin="$cache/posix-bin"
    mkdir -p "$bin"
    for tool in gcc g++; do
        ln -sf "/usr/bin/$triplet-$tool-posix" "$bin/$triplet-$tool"
    done
    echo "$bin"
}

lower_case_library_aliases() {
    local lib=/usr/$triplet/lib
    for name in "${capitalised_libraries[@]}"; do
        local lower
        lower=$(echo "$name" | tr '[:upper:]' '[:lower:]')
        [ -e "$lib/lib$name.a" ] || [ ! -e "$lib/lib$lower.a" ] || ln -s "lib$lower.a" "$lib/lib$name.a"
    done
}

build_qt() {
    local prefix="$cache/qt5-mingw64" source bin
    install_packages dpkg-dev g++-mingw-w64-x86-64-posix perl python3 make
    source=$(fetch_source qtbase-opensource-src qtbase-opensource-src-5.15)
    [ -n "$source" ] || die "no qtbase source folder in $cache/src"
    bin=$(posix_compilers)
    lower_case_library_aliases
    say "building Qt in $source (about 20 minutes on two cores)"
    rm -rf "$prefix"
    (
        cd "$source"
        export PATH="$bin:$PATH"
        ./configure -xplatform win32-g++ -device-option CROSS_COMPILE=$triplet- -prefix "$prefix" -release \
            -shared -opensource -confirm-license -nomake examples -nomake tests -no-opengl -no-dbus -no-icu \
            -no-openssl -schannel -no-sql-sqlite -no-sql-odbc -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype \
            -qt-pcre -qt-harfbuzz -no-feature-testlib_selfcover -no-feature-tabletevent
        make -j"$jobs"
        make -j"$jobs" install
    ) || die "the Qt build failed"
    touch "$prefix/$ready"
}

build_openssl() {
    local prefix="$cache/openssl-mingw64" source bin
    install_packages dpkg-dev g++-mingw-w64-x86-64-posix perl make
    source=$(fetch_source openssl openssl-3)
    [ -n "$source" ] || die "no openssl source folder in $cache/src"
    bin=$(posix_compilers)
    say "building OpenSSL in $source"
    rm -rf "$prefix"
    (
        cd "$source"
        export PATH="$bin:$PATH"
        ./Configure mingw64 --cross-compile-prefix=$triplet- --prefix="$prefix" --libdir=lib shared no-tests
        make -j"$jobs" build_libs
        make install_dev
    ) || die "the OpenSSL build failed"
    # install_dev leaves the DLLs in the build folder.
    mkdir -p "$prefix/bin"
    cp "$source"/libcrypto-3-x64.dll "$source"/libssl-3-x64.dll "$prefix/bin/"
    touch "$prefix/$ready"
}

build_libarchive() {
    local prefix="$cache/libarchive-mingw64" source build
    install_packages dpkg-dev g++-mingw-w64-x86-64-posix cmake ninja-build wine64 libz-mingw-w64-dev
    source=$(fetch_source libarchive libarchive-3)
    [ -n "$source" ] || die "no libarchive source folder in $cache/src"
    build="$cache/src/libarchive-build"
    say "building libarchive and bsdtar in $source"
    rm -rf "$prefix" "$build"
    # Its configure runs one test program, under Wine in a prefix of its own.
    WINEPREFIX="$cache/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" -DFARLINK_WINDEPS_DIR="$cache" \
        -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64 -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DENABLE_TEST=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DBUILD_SHARED_LIBS=OFF \
        -DENABLE_OPENSSL=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_BZip2=OFF -DENABLE_LZ4=OFF \
        -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_ICONV=OFF -DENABLE_CNG=OFF -DENABLE_ACL=OFF \
        -DENABLE_XATTR=OFF -DENABLE_LIBB2=OFF -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF \
        -DENABLE_WIN32_XMLLITE=OFF ||
        die "configuring libarchive failed"
    cmake --build "$build" -j "$jobs" && cmake --install "$build" || die "the libarchive build failed"
    # Like the prebuilt copy: libarchive linked statically, zlib1.dll (libz-mingw-w64) beside bsdtar.exe.
    cp /usr/$triplet/lib/zlib1.dll "$prefix/bin/"
    touch "$prefix/$ready"
}

mkdir -p "$cache"
for dep in qt5-mingw64 openssl-mingw64 libarchive-mingw64; do
    is_ready "$dep" && continue
    unpack_prebuilt "$dep" && continue
    say "no prebuilt $dep in $prebuilt: building it from Debian's sources (all three took 41.5 minutes on two" \
        "cores; the prebuilt archives in ../shared/windeps or FARLINK_WINDEPS avoid it)"
    [ "$(id -u)" -eq 0 ] || die "building $dep needs root (packages and the deb-src entry)"
    [ -n "${deb_src_ready:-}" ] || { ensure_deb_src && deb_src_ready=1; }
    case $dep in
    qt5-mingw64) build_qt ;;
    openssl-mingw64) build_openssl ;;
    libarchive-mingw64) build_libarchive ;;
    esac
done
say "dependencies ready in $cache"
