#!/bin/sh
# Run by tst_install under "unshare --mount --net": the package's files extracted in ROOT/pkg
# seen at their installed places (/etc, /usr) over this machine's own, with /var and /run of
# the scratch root's, and a network of its own (loopback only), so the installed service can
# take its default ports. Nothing here reaches the machine outside the namespace. Prints
# "ready" and then holds the namespace until killed (at most 15 minutes).
set -eu
root="$1"
mount --make-rprivate /
for place in etc usr var; do
    mkdir -p "$root/upper/$place" "$root/work/$place"
    lower="/$place"
    [ -d "$root/pkg/$place" ] && lower="$root/pkg/$place:/$place"
    mount -t overlay overlay \
        -o "lowerdir=$lower,upperdir=$root/upper/$place,workdir=$root/work/$place" "/$place"
done
mount -t tmpfs -o mode=0755 tmpfs /run
ip link set lo up
echo ready
exec sleep 900
