# Cross-compiling for 64-bit Windows (x86_64) with Debian's MinGW-w64 compilers (package
# g++-mingw-w64-x86-64-posix). Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
# Programs built for the tests run under Wine (wine64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(GAVO_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
