#!/bin/sh
# Installs a built tree into a temporary prefix and uses it the way a stranger would:
# builds examples/consumer against the CMake package and against the pkg-config file,
# runs both in working mode 1 with a base folder in a temporary folder (and, when the
# file server is installed too, the first in working mode 2 against it), compiles the C
# interface's header alone as C89 and C++11 and builds examples/c_host.c as C89 through
# the pkg-config file, running it in the same working modes as the consumer, runs the
# installed gavo tool and checks its manual pages and completion. (.ci/packages.sh
# checks the Debian packages.)
#
# Usage: .ci/install-check.sh [BUILD_DIR]   (default: build)
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
store=$work/store

fail() { echo "install-check: $*" >&2; exit 1; }

echo "install-check: installing into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libGAVO_Client.so -print | head -n1)")
[ -n "$libdir" ] || fail "libGAVO_Client.so not installed"
for f in "$libdir/libGAVO_Client.so.1" "$prefix/include/GAVO_Client.h" \
         "$prefix/include/gavo_client_c.h" \
         "$libdir/cmake/GAVO_Client/GAVO_ClientConfig.cmake" \
         "$libdir/cmake/GAVO_Client/GAVO_ClientConfigVersion.cmake" \
         "$libdir/pkgconfig/gavo_client.pc" "$prefix/bin/gavo"; do
    [ -e "$f" ] || fail "missing $f"
done
[ "$(readlink "$libdir/libGAVO_Client.so")" = libGAVO_Client.so.1 ] || fail "bad .so link"
mkdir -p "$store"
ini=$work/gavo.ini
printf '[Config]\nCTRL_MODE=1\nBASE_DIR=%s\n' "$store" > "$ini"

echo "install-check: consumer through find_package(GAVO_Client)"
cmake -S "$src/examples/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
cp "$ini" "$work/consumer/gavo.ini"   # the INI file beside the program
(cd "$work" && "$work/consumer/gavo_consumer") || fail "consumer (CMake) failed"
[ -f "$store/consumer/hello.txt" ] || fail "consumer did not store under BASE_DIR"

echo "install-check: consumer through pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
flags=$(pkg-config --cflags --libs gavo_client) || fail "pkg-config gavo_client failed"
case "$flags" in *..*) fail "pkg-config prints unnormalised paths: $flags" ;; esac
[ "$(pkg-config --variable=includedir gavo_client)" = "$prefix/include" ] \
    || fail "pkg-config names $(pkg-config --variable=includedir gavo_client), not $prefix/include"
mkdir -p "$work/pc"
# shellcheck disable=SC2086  # the flags are several words
c++ -std=c++11 -o "$work/pc/gavo_consumer" "$src/examples/consumer/main.cpp" $flags
LD_LIBRARY_PATH="$libdir" "$work/pc/gavo_consumer" "$ini" || fail "consumer (pkg-config) failed"

echo "install-check: the C interface: its header alone, and examples/c_host.c through pkg-config"
printf '#include <gavo_client_c.h>\n' > "$work/header.c"
cc -std=c89 -pedantic-errors -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" \
    "$work/header.c" || fail "gavo_client_c.h does not compile alone as C89"
c++ -std=c++11 -pedantic-errors -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" \
    -x c++ "$work/header.c" || fail "gavo_client_c.h does not compile alone as C++11"
mkdir -p "$work/c_host"
# shellcheck disable=SC2086  # the flags are several words
cc -std=c89 -pedantic-errors -o "$work/c_host/c_host" "$src/examples/c_host.c" $flags
LD_LIBRARY_PATH="$libdir" "$work/c_host/c_host" "$ini" 1 >/dev/null || fail "c_host failed"

if [ -x "$prefix/bin/gavo-server" ]; then
    # The programs the server's documentation tells operators to run come with it.
    [ -x "$prefix/bin/gavo-tables-export" ] || fail "gavo-tables-export not installed"
    "$prefix/bin/gavo-tables-export" --version | grep -q '^gavo-tables-export [0-9]' \
        || fail "gavo-tables-export --version failed"
    echo "install-check: consumer against the installed file server (working mode 2)"
    mkdir -p "$work/root"
    printf 'events = line\n' > "$work/tables.conf"   # the table c_host writes to
    "$prefix/bin/gavo-server" --listen 127.0.0.1:0 --root "$work/root" \
        --tables "$work/tables.conf" 2> "$work/server.log" &
    server=$!
    trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
    port=""
    for _ in $(seq 100); do
        port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$work/server.log" | head -n1)
        [ -n "$port" ] && break
        sleep 0.1
    done
    [ -n "$port" ] || fail "gavo-server did not start: $(cat "$work/server.log")"
    printf '[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=%s\n' "$port" > "$work/remote.ini"
    "$work/consumer/gavo_consumer" "$work/remote.ini" || fail "consumer (working mode 2) failed"
    [ -f "$work/root/consumer/hello.txt" ] || fail "consumer did not store on the server"
    LD_LIBRARY_PATH="$libdir" "$work/c_host/c_host" "$work/remote.ini" 2 >/dev/null \
        || fail "c_host (working mode 2) failed"
    kill -TERM "$server"
    wait "$server" || fail "gavo-server did not stop cleanly"
fi

echo "install-check: installed gavo tool, its manual pages and bash completion"
export XDG_STATE_HOME="$work/state"
"$prefix/bin/gavo" --ini "$ini" exists consumer/hello.txt || fail "gavo exists failed"
"$prefix/bin/gavo" --ini "$ini" cat consumer/hello.txt | grep -q GAVO_Client \
    || fail "gavo cat failed"
[ -f "$work/state/gavo/gavo_nfile_err.log" ] || fail "gavo did not log to \$XDG_STATE_HOME/gavo"
[ ! -e "$prefix/bin/gavo_nfile_err.log" ] || fail "gavo logged beside the program"
"$prefix/bin/gavo" --version | grep -q '^gavo [0-9]' || fail "gavo --version failed"
for page in man1/gavo.1 man1/gavo-tables-export.1 man8/gavo-server.8; do
    [ -f "$prefix/share/man/$page" ] || fail "missing manual page $page"
done
if command -v man >/dev/null; then
    MANPATH="$prefix/share/man" man gavo 2>/dev/null | grep -q 'store and fetch files' \
        || fail "man gavo failed"
fi
completion=$prefix/share/bash-completion/completions/gavo
bash -c "source '$completion'; COMP_WORDS=(gavo pu); COMP_CWORD=1; _gavo; [ \"\${COMPREPLY[*]}\" = put ]" \
    || fail "bash completion failed"

echo "install-check: ok"
