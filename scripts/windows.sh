#!/usr/bin/env bash
# The Windows leg: builds GAVO_Client.dll and its tests with MinGW-w64 for 32-bit (i686, the
# reference platform) and 64-bit (x86_64) Windows, runs the tests under Wine, checks the
# DLL's exported names, then runs Windows hosts under Wine against the real Linux
# gavo-server on loopback: the example host (files and records stored and read back) and a
# host that lives through a server restart (reconnection) and a server that stays away
# (fall-back to local files), whose output and error log must match the same host's on
# Linux but for the documented differences (docs/compatibility.md, Windows).
#   scripts/windows.sh                    both targets
#   scripts/windows.sh mingw32|mingw64    one of them
# Installs what it needs (MinGW-w64, Wine with its 32-bit part, Debian's googletest
# sources) when missing. Builds in build-windows/ and build/ (the native server).
# A kernel without 32-bit support (ia32_emulation off) cannot run 32-bit Windows programs:
# the i686 build is then compiled and its exports checked, and the programs run as x86_64.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(mingw32 mingw64)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
step() { echo "== $* ($(($(date +%s) - started)) s)"; }

step "packages"
# The i386 architecture first: wine32 comes from it. deps.sh installs what is missing, all
# of Wine (its 32-bit part included) before any Wine prefix is made.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
bash scripts/deps.sh sqlite3 zip g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
  googletest wine wine64 wine32:i386

# One Wine prefix for the leg, its server kept running: without it every program started
# under Wine would boot the prefix again (about 3 s each) and a test run could hang.
# Their output goes nowhere near ctest's pipes.
export WINEPREFIX="$PWD/build-windows/wineprefix" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"  # wineserver -p needs the folder to exist
wine64=/usr/lib/wine/wine64
runs32() { /usr/lib/wine/wine --version >/dev/null 2>&1; }
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
step "Wine prefix"
wineserver -p </dev/null >/dev/null 2>&1
if runs32; then loader=wine; else loader=$wine64; fi
$loader wineboot -i </dev/null >/dev/null 2>&1
if ! runs32; then
  echo "this kernel runs no 32-bit programs (ia32_emulation off): i686 is built and its" \
    "exports checked, the programs run as x86_64"
fi

run_target=""  # the target whose programs the host checks run
for target in "${targets[@]}"; do
  case "$target" in
    mingw32) triplet=i686-w64-mingw32 ;;
    mingw64) triplet=x86_64-w64-mingw32 ;;
    *) echo "usage: $0 [mingw32|mingw64]..." >&2; exit 2 ;;
  esac
  dir=build-windows/$target
  toolchain=$PWD/cmake/toolchain-$target.cmake
  if [ ! -f "$dir/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
    step "$target: GoogleTest from /usr/src/googletest"
    cmake -S /usr/src/googletest -B "$dir/gtest-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DBUILD_GMOCK=OFF \
      -DCMAKE_INSTALL_PREFIX="$PWD/$dir/gtest" >/dev/null
    cmake --build "$dir/gtest-build" -j "$(nproc)" >/dev/null
    cmake --install "$dir/gtest-build" >/dev/null
  fi
  step "$target: library and tests"
  cmake -S . -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGAVO_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DGTest_DIR="$PWD/$dir/gtest/lib/cmake/GTest" >/dev/null
  cmake --build "$dir/build" -j "$(nproc)"
  if [ "$target" = mingw64 ] || runs32; then
    step "$target: tests under Wine"
    ctest --test-dir "$dir/build" -j "$(nproc)" --output-on-failure
    [ -n "$run_target" ] || run_target=$target
  else
    step "$target: exported names (no 32-bit programs on this kernel)"
    # Straight through the check's script: ctest would first list every test program's
    # cases, which means running them.
    cmake -DLIB="$dir/build/GAVO_Client.dll" -DLIST=tests/windows/exported_symbols.txt \
      -DOBJDUMP="$triplet-objdump" -DCXXFILT="$triplet-c++filt" -P tests/check_exports.cmake
  fi
  step "$target: release zip"
  (cd "$dir/build" && cpack -G ZIP >/dev/null && ls GAVO_Client-*.zip)
done
[ -n "$run_target" ] || { echo "no target could run its programs here" >&2; exit 1; }

step "hosts under Wine ($run_target) against the Linux gavo-server"
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target gavo-server GAVO_Client
bash scripts/windows-hosts.sh build "build-windows/$run_target/build" "$run_target"
step "Windows leg passed"
