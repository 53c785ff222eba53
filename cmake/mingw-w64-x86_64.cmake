# Cross-compiles for 64-bit Windows with Debian's mingw-w64 posix-thread compilers (Qt's threads need
# them), against the Windows dependencies that tools/windows/build-deps.sh lays out:
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DFARLINK_WINDEPS_DIR=<folder holding qt5-mingw64, openssl-mingw64, libarchive-mingw64>
#
# FARLINK_WINDEPS_DIR defaults to build-windows/deps of this repository.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(farlink_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${farlink_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${farlink_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${farlink_triplet}-windres)

if(NOT FARLINK_WINDEPS_DIR)
    get_filename_component(FARLINK_WINDEPS_DIR "${CMAKE_CURRENT_LIST_DIR}/../build-windows/deps" ABSOLUTE)
endif()
set(FARLINK_WINDEPS_DIR "${FARLINK_WINDEPS_DIR}" CACHE PATH "Folder of the Windows dependencies")
# try_compile projects configure with this file again and need the folder too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FARLINK_WINDEPS_DIR)

set(farlink_qt "${FARLINK_WINDEPS_DIR}/qt5-mingw64")
set(farlink_openssl "${FARLINK_WINDEPS_DIR}/openssl-mingw64")
set(farlink_libarchive "${FARLINK_WINDEPS_DIR}/libarchive-mingw64")
set(farlink_mingw_root /usr/${farlink_triplet})

# Headers and libraries come only from the mingw-w64 root and the dependencies, never from Debian's own;
# programs (Qt's moc, rcc and uic are Linux programs) only from the host.
set(CMAKE_FIND_ROOT_PATH "${farlink_mingw_root}" "${farlink_qt}" "${farlink_openssl}" "${farlink_libarchive}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(Qt5_DIR "${farlink_qt}/lib/cmake/Qt5" CACHE PATH "Qt 5 for Windows")
set(OPENSSL_ROOT_DIR "${farlink_openssl}" CACHE PATH "OpenSSL for Windows")

# libarchive is linked statically, so its headers must not declare its functions as DLL imports. It was
# built against zlib's DLL (it calls zlib through __imp_ pointers), so zlib is Debian's libz-mingw-w64
# import library, shared with the program's own CRC-32, and zlib1.dll is deployed beside the program.
set(LibArchive_INCLUDE_DIR "${farlink_libarchive}/include" CACHE PATH "libarchive headers for Windows")
set(LibArchive_LIBRARY "${farlink_libarchive}/lib/libarchive_static.a" CACHE FILEPATH "static libarchive")
set(ZLIB_INCLUDE_DIR "${farlink_mingw_root}/include" CACHE PATH "zlib headers for Windows")
set(ZLIB_LIBRARY "${farlink_mingw_root}/lib/libz.dll.a" CACHE FILEPATH "zlib1.dll's import library")
set(CMAKE_C_FLAGS_INIT "-DLIBARCHIVE_STATIC")
set(CMAKE_CXX_FLAGS_INIT "-DLIBARCHIVE_STATIC")
