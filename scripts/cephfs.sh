#!/usr/bin/env bash
# A single-node CephFS on this machine for the cluster's tests: 1 monitor, 1 manager,
# 1 OSD keeping its objects in memory (memstore), 1 metadata server, all on 127.0.0.1,
# without cephx, pools of size 1, its data under a temporary folder; and one ceph-fuse
# mount per gavo-server node (each mount is a client of its own, as a machine would be).
#
#   bash scripts/cephfs.sh up [MOUNTS]   bring it up (default 2 mounts); prints the mounts
#   bash scripts/cephfs.sh down          unmount, stop and remove everything
#   bash scripts/cephfs.sh ci            install the packages, bring it up, run the
#                                        fail-over test with each node's root on its own
#                                        mount, bring it down (also after a failure)
#
# The state of a running one is in /tmp/gavo-cephfs/ (its folder, the mounts).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
state=/tmp/gavo-cephfs
packages=(ceph-mon ceph-mgr ceph-osd ceph-mds ceph-fuse ceph-common fuse3)

install() {
    bash "$repo/scripts/deps.sh" "${packages[@]}"
}

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local until=$(( $(date +%s) + $1 ))
    shift
    while [ "$(date +%s)" -le "$until" ]; do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    echo "cephfs: gave up waiting for: $*" >&2
    return 1
}

up() {
    local mounts=${1:-2}
    [ ! -e "$state" ] || { echo "cephfs: already up ($state); run: $0 down" >&2; exit 1; }
    mkdir -p "$state"
    local dir
    dir=$(mktemp -d /tmp/gavo-ceph-data.XXXXXX)
    echo "$dir" > "$state/dir"
    local port
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    local fsid
    fsid=$(cat /proc/sys/kernel/random/uuid)
    mkdir -p "$dir"/{run,log,mon/ceph-a,mgr/ceph-x,osd/ceph-0,mds/ceph-a}
    cat > "$dir/ceph.conf" <<CONF
[global]
fsid = $fsid
mon host = v2:127.0.0.1:$port
mon initial members = a
auth cluster required = none
auth service required = none
auth client required = none
ms bind msgr1 = false
public addr = 127.0.0.1
run dir = $dir/run
admin socket = $dir/run/\$name.asok
pid file = $dir/run/\$name.pid
log file = $dir/log/\$name.log
mon data = $dir/mon/\$cluster-\$id
mgr data = $dir/mgr/\$cluster-\$id
osd data = $dir/osd/\$cluster-\$id
mds data = $dir/mds/\$cluster-\$id
osd objectstore = memstore
memstore device bytes = 1073741824
osd pool default size = 1
osd pool default min size = 1
osd crush chooseleaf type = 0
mon allow pool size one = true
mon warn on pool no redundancy = false
mon max pg per osd = 500
osd memory target = 939524096
CONF
    export CEPH_CONF=$dir/ceph.conf
    echo "$CEPH_CONF" > "$state/conf"
    monmaptool --create --fsid "$fsid" --addv a "[v2:127.0.0.1:$port]" "$dir/monmap" >/dev/null
    # The daemons' own start-up chatter goes to the log folder.
    local out=$dir/log/start.log
    ceph-mon --mkfs -i a --monmap "$dir/monmap" >>"$out" 2>&1
    ceph-mon -i a >>"$out" 2>&1
    wait_for 30 ceph -s
    ceph mon enable-msgr2 >/dev/null 2>&1 || true
    ceph config set mon auth_allow_insecure_global_id_reclaim false >/dev/null 2>&1 || true
    ceph-mgr -i x >>"$out" 2>&1
    local uuid
    uuid=$(cat /proc/sys/kernel/random/uuid)
    local id
    id=$(ceph osd new "$uuid")
    ceph-osd -i "$id" --mkfs --osd-uuid "$uuid" >>"$out" 2>&1
    ceph-osd -i "$id" >>"$out" 2>&1
    ceph-mds -i a >>"$out" 2>&1
    ceph osd pool create cephfs_metadata 8 >/dev/null 2>&1
    ceph osd pool create cephfs_data 8 >/dev/null 2>&1
    ceph fs new gavofs cephfs_metadata cephfs_data >/dev/null 2>&1
    wait_for 60 sh -c 'ceph mds stat | grep -q up:active'
    for i in $(seq "$mounts"); do
        mkdir -p "$dir/mnt$i"
        ceph-fuse --id "node$i" "$dir/mnt$i" >/dev/null 2>"$dir/log/fuse$i.log"
        echo "$dir/mnt$i" >>"$state/mounts"
    done
    wait_for 30 sh -c "touch '$dir/mnt1/.up' && test -e '$dir/mnt$mounts/.up'"
    rm -f "$dir/mnt1/.up"
    cat "$state/mounts"
}

down() {
    [ -e "$state" ] || return 0
    local dir
    dir=$(cat "$state/dir" 2>/dev/null || true)
    if [ -f "$state/mounts" ]; then
        while read -r m; do
            fusermount3 -u "$m" 2>/dev/null || fusermount -u "$m" 2>/dev/null ||
                umount -l "$m" 2>/dev/null || true
        done < "$state/mounts"
    fi
    if [ -n "$dir" ] && [ -d "$dir/run" ]; then
        for pidfile in "$dir"/run/*.pid; do
            [ -e "$pidfile" ] || continue
            kill "$(cat "$pidfile")" 2>/dev/null || true
        done
        for pidfile in "$dir"/run/*.pid; do
            [ -e "$pidfile" ] || continue
            local pid
            pid=$(cat "$pidfile")
            for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
            kill -9 "$pid" 2>/dev/null || true
        done
    fi
    case "$dir" in /tmp/gavo-ceph-data.*) rm -rf "$dir" ;; esac
    rm -rf "$state"
}

ci() {
    if [ ! -c /dev/fuse ]; then
        echo "SKIP cephfs leg: no /dev/fuse here, so no ceph-fuse mounts"
        exit 0
    fi
    local start
    start=$(date +%s)
    install
    cmake -S "$repo" -B "$repo/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGAVO_WERROR=ON >/dev/null
    cmake --build "$repo/build" -j "$(nproc)" --target server_failover_test gavo-server >/dev/null
    trap down EXIT
    down
    up 2 >/dev/null
    echo "cephfs: up after $(( $(date +%s) - start )) s"
    GAVO_TEST_ROOT_BASE=$(paste -sd: "$state/mounts") "$repo/build/tests/server_failover_test"
    echo "cephfs: leg done after $(( $(date +%s) - start )) s"
}

case "${1:-}" in
  # A failed bring-up leaves nothing behind.
  up) install; trap down EXIT; up "${2:-2}"; trap - EXIT ;;
  down) down ;;
  ci) ci ;;
  *) echo "usage: $0 up [MOUNTS] | down | ci" >&2; exit 2 ;;
esac
