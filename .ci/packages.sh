#!/usr/bin/env bash
# CI: the Debian packages, built and installed the way README.md says (its block marked
# "packages", run as written), then checked as a Debian archive and an operator would:
# lintian with no error and no warning, hardened compile lines, the library package's
# dependencies, the unit's configuration check before and during a run, the server started
# as the gavo user from its unit's ExecStart line and the installed configuration, a file
# stored and fetched with the installed gavo tool, examples/consumer built against
# libgavo-client-dev (CMake and pkg-config), the operator's command blocks of
# docs/server.md and docs/security.md run as written (.ci/doc-blocks.sh), and the unit
# checked by systemd-analyze (verify, and an exposure of 2.0 or lower); last, a purge that
# keeps the served files.
#
# Runs as root, as CI does: it installs packages and starts the server as another user.
# Usage: .ci/packages.sh
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
bash "$src/scripts/deps.sh" sudo debhelper lintian blhc systemd
work=$(mktemp -d)
server=""
trap '[ -z "$server" ] || kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "packages: $*" >&2; exit 1; }
step() { echo "packages: $*"; }

# debian/changelog names the version again; it must be the project's.
project=$(sed -n 's/^project(GAVO_Client VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
debian=$(cd "$src" && dpkg-parsechangelog -S Version)
[ "${debian%-*}" = "$project" ] || fail "debian/changelog has $debian, CMakeLists.txt $project"

# A clean copy, so that ../ (where the packages land) is ours and no build folder leaks in.
mkdir "$work/src"
tar -C "$src" --exclude='./build*' --exclude='./obj-*' --exclude=./.git -cf - . \
    | tar -C "$work/src" -xf -
step "README.md's packaging commands"
"$src/.ci/readme-block.sh" packages > "$work/packages.sh"
start=$(date +%s)
(cd "$work/src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
    bash -euxo pipefail "$work/packages.sh") > "$work/build.log" 2>&1 \
    || { tail -n 60 "$work/build.log"; fail "README.md's packaging commands failed"; }
echo "packages: built and installed in $(( $(date +%s) - start )) s"
ls -l "$work"/*.deb

step "lintian"
lintian --fail-on error,warning --display-info "$work"/*.changes
step "hardening of the compile and link lines"
blhc --debian --line-numbers "$work/build.log"
deps=$(dpkg-deb -f "$work"/libgavo-client1_*.deb Depends)
echo "$deps" | tr ',' '\n' | sed 's/ *(.*//; s/^ *//' \
    | grep -qvxE 'libc6|libgcc-s1|libssl3|libstdc\+\+6' && fail "libgavo-client1 depends on $deps"

step "the server from its unit's command line, as the gavo user"
unit=$(dpkg -L gavo-server | grep '/systemd/system/gavo-server.service$')
user=$(sed -n 's/^User=//p' "$unit")
read -r -a command <<< "$(sed -n 's/^ExecStart=//p' "$unit")"
[ -x "${command[0]}" ] || fail "ExecStart ${command[0]} is not installed"
root=$(sed -n 's/^root *= *//p' /etc/gavo/server.conf)
state=$(sed -n 's/^state *= *//p' /etc/gavo/server.conf)
[ "$(stat -c %U "$root")" = "$user" ] || fail "$root is not owned by $user"
# The unit's configuration check (ExecStartPre, and ExecReload's first command while the
# server runs) passes on the installed configuration, as the gavo user. Only the port
# changes, here and below: a free one, so that the check never meets another server.
check_config() {
    local line
    line=$(sed -n "s/^$1=//p" "$unit" | head -n1)
    [[ "$line" == *--check-config* ]] || fail "the unit's $1 does not check the configuration"
    read -r -a check <<< "$line"
    (cd / && setpriv --reuid="$user" --regid="$user" --init-groups -- \
        "${check[@]}" --listen 127.0.0.1:0) > "$work/check.log" 2>&1 \
        || fail "$1 failed: $(cat "$work/check.log")"
}
check_config ExecStartPre
(cd / && exec setpriv --reuid="$user" --regid="$user" --init-groups -- \
    "${command[@]}" --listen 127.0.0.1:0) 2> "$work/server.log" &
server=$!
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$work/server.log" | head -n1)
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || fail "gavo-server did not start: $(cat "$work/server.log")"
check_config ExecReload
grep -q 'in use by the running server' "$work/check.log" \
    || fail "the check did not see the running server: $(cat "$work/check.log")"

step "the installed gavo tool against it"
printf '[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=%s\n' "$port" > "$work/remote.ini"
export XDG_STATE_HOME="$work/state"
# The purge keeps what the server stored, so a second run on the same machine finds the
# first run's files: each run stores under a name of its own.
stored="ci/payload-$(date +%s%N)"
head -c 100000 /dev/urandom > "$work/payload"
gavo --ini "$work/remote.ini" put "$work/payload" "$stored"
gavo --ini "$work/remote.ini" cat "$stored" | cmp - "$work/payload" || fail "gavo cat differs"
[ "$(stat -c %U "$root/$stored")" = "$user" ] || fail "stored file not owned by $user"
[ -e "$state/handles" ] || fail "no handle numbering in $state"

step "examples/consumer against libgavo-client-dev"
example=/usr/share/doc/libgavo-client-dev/examples/consumer
cmake -S "$example" -B "$work/consumer" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/gavo_consumer" "$work/remote.ini" || fail "consumer (CMake, working mode 2) failed"
[ "$root/consumer/hello.txt" -nt "$work/remote.ini" ] || fail "consumer did not store on the server"
flags=$(pkg-config --cflags --libs gavo_client)
case "$flags" in *..*) fail "pkg-config prints unnormalised paths: $flags" ;; esac
# shellcheck disable=SC2086  # the flags are several words
c++ -std=c++11 -o "$work/pc_consumer" "$example/main.cpp" $flags
mkdir -p "$work/local"
printf '[Config]\nCTRL_MODE=1\nBASE_DIR=%s\n' "$work/local" > "$work/local.ini"
"$work/pc_consumer" "$work/local.ini" || fail "consumer (pkg-config, working mode 1) failed"
kill -TERM "$server"
wait "$server" || fail "gavo-server did not stop cleanly: $(cat "$work/server.log")"
server=""

step "the command blocks of docs/server.md and docs/security.md, as written"
bash "$src/.ci/doc-blocks.sh"

step "the unit, checked by systemd-analyze"
systemd-analyze verify "$unit"
systemd-analyze security --offline=true --threshold=20 "$unit" | tail -n 1

step "purging gavo-server keeps the served files and the state"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq gavo-server >/dev/null
[ ! -e /etc/gavo/server.conf ] || fail "the purge left /etc/gavo/server.conf"
for kept in "$root/$stored" "$state/handles"; do
    [ -f "$kept" ] || fail "the purge removed $kept"
done
echo "packages: ok"
