#!/bin/bash
# s3-fixture.sh start|stop DIR — the one throwaway S3 store (start-s3.sh) that every suite
# labelled s3 of a ctest run shares. start writes DIR/s3.env (S3_ENDPOINT, keys, region) for
# the suites, or DIR/unavailable when Ceph is not installed (the suites then skip); stop ends
# the cluster and removes DIR. Should ctest end without its clean-up, a watcher stops the
# cluster once ctest is gone.
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 start|stop DIR" >&2; exit 64; }
here=$(dirname "$(readlink -f "$0")")
dir=$(realpath -m "$2")

case $1 in
start)
    # A cluster left by a run that died goes first.
    [ -d "$dir/cluster" ] && "$here/stop-s3.sh" "$dir/cluster" >/dev/null 2>&1
    rm -rf "$dir" && mkdir -p "$dir" || exit 1
    if ! command -v radosgw >/dev/null || ! command -v ceph-mon >/dev/null; then
        echo "skipped: Ceph (radosgw) not installed" | tee "$dir/unavailable"
        exit 0
    fi
    busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
    port=
    for _ in $(seq 50); do
        p=$((20000 + RANDOM % 30000))
        if ! busy "$p" && ! busy $((p + 1)); then port=$p; break; fi
    done
    [ -n "$port" ] || { echo "no free port pair on 127.0.0.1" >&2; exit 1; }
    if ! S3_WAIT=60 timeout 200 "$here/start-s3.sh" "$dir/cluster" "$port" >"$dir/start.log" 2>&1; then
        cat "$dir/start.log" >&2
        exit 1
    fi
    cp "$dir/cluster/s3.env" "$dir/s3.env"
    parent=$PPID
    setsid bash -c "while kill -0 $parent 2>/dev/null && [ -d '$dir/cluster' ]; do sleep 5; done
        [ -d '$dir/cluster' ] && '$here/stop-s3.sh' '$dir/cluster'" </dev/null >/dev/null 2>&1 &
    cat "$dir/s3.env"
    ;;
stop)
    [ -d "$dir/cluster" ] && "$here/stop-s3.sh" "$dir/cluster"
    rm -rf "$dir"
    ;;
*)
    echo "usage: $0 start|stop DIR" >&2
    exit 64
    ;;
esac
