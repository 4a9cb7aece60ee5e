# The part of the two MinGW-w64 toolchain files that is the same for both targets; they set
# GAVO_MINGW_TRIPLET first.
set(CMAKE_C_COMPILER ${GAVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GAVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${GAVO_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${GAVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine: wine for 32-bit programs, wine64 for 64-bit ones (Debian's
# wine script runs the 32-bit loader first, which a kernel without 32-bit support refuses).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64" AND EXISTS /usr/lib/wine/wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
else()
  find_program(GAVO_WINE wine)
  if(GAVO_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${GAVO_WINE})
  endif()
endif()

# The shared runtime DLLs a program of this target needs beside it (see CMakeLists.txt).
file(GLOB GAVO_MINGW_RUNTIME_DLLS
  /usr/lib/gcc/${GAVO_MINGW_TRIPLET}/*-posix/libgcc_s_*.dll
  /usr/lib/gcc/${GAVO_MINGW_TRIPLET}/*-posix/libstdc++-6.dll
  /usr/${GAVO_MINGW_TRIPLET}/lib/libwinpthread-1.dll)
