# SPDX-License-Identifier: MIT
# Cross-compiles Wendrix for 64-bit Windows with Debian's mingw-w64 compilers,
# against the static Qt and hidapi that scripts/windows-toolchain builds.
#
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# WENDRIX_WINDOWS_CACHE names the toolchain cache (default
# /var/cache/wendrix/windows). Tests run under Wine through ctest.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT WENDRIX_WINDOWS_CACHE)
    if(DEFINED ENV{WENDRIX_WINDOWS_CACHE})
        set(WENDRIX_WINDOWS_CACHE "$ENV{WENDRIX_WINDOWS_CACHE}")
    else()
        set(WENDRIX_WINDOWS_CACHE /var/cache/wendrix/windows)
    endif()
endif()
set(WENDRIX_WINDOWS_CACHE "${WENDRIX_WINDOWS_CACHE}" CACHE PATH "Windows toolchain cache")
# Try-compile projects read the toolchain file again; hand them the cache too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WENDRIX_WINDOWS_CACHE)

# Qt, hidapi and the mingw-w64 runtime are looked up there only; build tools
# (moc, rcc, uic: host programs in the static Qt) on this machine.
set(CMAKE_FIND_ROOT_PATH
    ${WENDRIX_WINDOWS_CACHE}/qt5
    ${WENDRIX_WINDOWS_CACHE}/hidapi
    /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(hidapi_DIR ${CMAKE_CURRENT_LIST_DIR}/hidapi-windows)

# One file to copy: the C and C++ runtimes and winpthreads go inside each
# executable rather than beside it as DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest runs the test programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
