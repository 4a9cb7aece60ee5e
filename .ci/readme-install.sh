#!/usr/bin/env bash
# CI: README.md's install commands (its block marked "install"), run as written in a clean
# copy of the tree, then examples/consumer built against what they installed, through the
# CMake package and through pkg-config, and the installed tree checked by
# .ci/install-check.sh.
#
# Runs as root (CI) or with sudo. Usage: .ci/readme-install.sh
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
bash "$src/scripts/deps.sh" sudo
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "readme-install: $*" >&2; exit 1; }

mkdir "$work/src"
tar -C "$src" --exclude='./build*' --exclude='./obj-*' --exclude=./.git -cf - . \
    | tar -C "$work/src" -xf -
"$src/.ci/readme-block.sh" install > "$work/install.sh"
echo "readme-install: running README.md's install commands"
start=$(date +%s)
(cd "$work/src" && bash -euxo pipefail "$work/install.sh") > "$work/build.log" 2>&1 \
    || { tail -n 60 "$work/build.log"; fail "README.md's install commands failed"; }
echo "readme-install: built and installed in $(( $(date +%s) - start )) s"

# The prefix the README names.
prefix=/opt/gavo
[ -f "$prefix/include/GAVO_Client.h" ] || fail "nothing installed under $prefix"
mkdir -p "$work/store"
printf '[Config]\nCTRL_MODE=1\nBASE_DIR=%s\n' "$work/store" > "$work/gavo.ini"
cmake -S "$src/examples/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/gavo_consumer" "$work/gavo.ini" || fail "consumer (CMake) failed"
# shellcheck disable=SC2046  # the flags are several words
c++ -std=c++11 -o "$work/pc_consumer" "$src/examples/consumer/main.cpp" \
    $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs gavo_client)
LD_LIBRARY_PATH="$prefix/lib" "$work/pc_consumer" "$work/gavo.ini" \
    || fail "consumer (pkg-config) failed"
sh "$src/.ci/install-check.sh" "$work/src/build"
echo "readme-install: ok"
