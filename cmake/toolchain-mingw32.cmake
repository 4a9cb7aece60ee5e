# Cross-compiling for 32-bit Windows (i686), the reference platform, with Debian's
# MinGW-w64 compilers (package g++-mingw-w64-i686-posix: POSIX threads, so std::thread
# and std::mutex work). Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake
# Programs built for the tests run under Wine (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(GAVO_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
