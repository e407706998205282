#!/bin/bash
# start-s3.sh DIR PORT — throwaway single-node Ceph (Debian 12, 16.2 "pacific")
# S3 endpoint for tests: 1 mon + 1 OSD + 1 radosgw (beast) on 127.0.0.1:PORT.
# Everything (config, data, logs, sockets, PIDs) lives under DIR.
# Stop with: stop-s3.sh DIR.  No systemd, cephadm or containers.
#
# Environment knobs (all optional):
#   MON_PORT        monitor port (msgr v2 only)         default PORT+1
#   S3_STORE        memstore | bluestore                default memstore
#   S3_STORE_MB     memstore capacity / bluestore file  default 4096
#   S3_ACCESS_KEY / S3_SECRET_KEY  fixed S3 credentials (defaults below)
#   S3_WAIT         seconds to wait for each stage      default 120
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 DIR PORT" >&2; exit 2; }
DIR=$(realpath -m "$1"); PORT=$2
MON_PORT=${MON_PORT:-$((PORT + 1))}
STORE=${S3_STORE:-memstore}
STORE_MB=${S3_STORE_MB:-4096}
ACCESS_KEY=${S3_ACCESS_KEY:-TESTACCESSKEY0000001}
SECRET_KEY=${S3_SECRET_KEY:-TestSecretKey000000000000000000000000001}
WAIT=${S3_WAIT:-120}

case $STORE in memstore|bluestore) ;; *) echo "S3_STORE: memstore or bluestore" >&2; exit 2;; esac

# --- packages (Debian 12: ceph 16.2.15) ------------------------------------
# Only installing them needs root: the daemons run as whoever starts them, all under DIR.
if ! command -v ceph-mon >/dev/null || ! command -v ceph-osd >/dev/null ||
   ! command -v radosgw >/dev/null || ! command -v radosgw-admin >/dev/null ||
   ! command -v ceph >/dev/null || ! command -v curl >/dev/null; then
  [ "$(id -u)" = 0 ] || { echo "ceph-mon ceph-osd radosgw ceph-common curl are missing; as root: apt-get install them" >&2; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    ceph-mon ceph-osd radosgw ceph-common curl >&2
fi

# --- preconditions -----------------------------------------------------------
port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for p in "$PORT" "$MON_PORT"; do
  if port_busy "$p"; then echo "port $p on 127.0.0.1 is in use" >&2; exit 1; fi
done
if [ -e "$DIR" ] && [ -n "$(ls -A "$DIR")" ]; then
  echo "$DIR exists and is not empty" >&2; exit 1
fi
mkdir -p "$DIR"/{mon,osd,rgw,run,log,crash}
touch "$DIR/.start-s3"              # marker: stop-s3.sh only removes such dirs
: > "$DIR/pids"                     # "name pid" per line, in start order
# On any failure: stop what was started, keep DIR for its logs.
trap 'rc=$?; [ $rc = 0 ] || { echo "start-s3.sh failed (rc=$rc); logs in $DIR/log" >&2;
      "$(dirname "$0")/stop-s3.sh" --keep "$DIR"; }' EXIT

CONF=$DIR/ceph.conf
export CEPH_CONF=$CONF              # picked up by ceph, radosgw-admin, daemons
FSID=$(cat /proc/sys/kernel/random/uuid)
OSD_UUID=$(cat /proc/sys/kernel/random/uuid)

T0=${EPOCHREALTIME/./}                 # microseconds
stage() { local d=$(( ${EPOCHREALTIME/./} - T0 )); printf '[start-s3 +%d.%01ds] %s\n' $((d/1000000)) $((d%1000000/100000)) "$*" >&2; }
# Wait until "$@" succeeds, at most $WAIT seconds.
wait_for() {
  local what=$1; shift; local t=$((SECONDS + WAIT))
  until "$@" >/dev/null 2>&1; do
    if [ $SECONDS -ge $t ]; then echo "timeout waiting for $what (logs: $DIR/log)" >&2; exit 1; fi
    sleep 0.2
  done
}
# Start a daemon in the foreground of its own session, record its PID.
spawn() {
  local name=$1; shift
  setsid "$@" -f </dev/null >"$DIR/log/$name.out" 2>&1 &
  echo "$name $!" >> "$DIR/pids"
}

# --- configuration -------------------------------------------------------------
# cephx disabled (throwaway, loopback only); size-1 pools; small PG counts;
# CRUSH picks OSDs not hosts; tuned down for a small machine.
cat > "$CONF" <<EOF
[global]
fsid = $FSID
mon_host = [v2:127.0.0.1:$MON_PORT]
public_addr = 127.0.0.1
cluster_addr = 127.0.0.1
ms_bind_msgr1 = false
ms_bind_ipv6 = false
auth_cluster_required = none
auth_service_required = none
auth_client_required = none
keyring = $DIR/keyring
run_dir = $DIR/run
admin_socket = $DIR/run/\$name.asok
log_file = $DIR/log/\$name.log
mon_cluster_log_file = $DIR/log/cluster.log
crash_dir = $DIR/crash
log_to_stderr = false
err_to_stderr = true
osd_pool_default_size = 1
osd_pool_default_min_size = 1
osd_pool_default_pg_num = 8
osd_pool_default_pgp_num = 8
osd_pool_default_pg_autoscale_mode = off
osd_crush_chooseleaf_type = 0
mon_allow_pool_size_one = true
mon_allow_pool_delete = true
mon_warn_on_pool_no_redundancy = false
mon_data_avail_warn = 2
mon_data_avail_crit = 1
ms_async_op_threads = 2
# daemons (radosgw) default to "secure" mon connections, impossible without cephx
ms_mon_client_mode = crc

[mon]
mon_data = $DIR/mon
# commit map changes every 0.1 s instead of 1 s: pool creation is the slow part
paxos_propose_interval = 0.1

[osd]
osd_data = $DIR/osd
osd_objectstore = $STORE
memstore_device_bytes = $((STORE_MB * 1024 * 1024))
bluestore_block_path = $DIR/osd/block.file
bluestore_block_size = $((STORE_MB * 1024 * 1024))
bluestore_block_create = true
bluestore_cache_autotune = false
bluestore_cache_size = 67108864
osd_memory_target = 939524096
osd_op_num_shards = 1
osd_op_num_threads_per_shard = 2

[client.rgw.s3]
rgw_frontends = beast endpoint=127.0.0.1:$PORT
rgw_data = $DIR/rgw
rgw_thread_pool_size = 32
rgw_dynamic_resharding = false
# reclaim overwritten/deleted data after 60 s, not 2 h (memstore keeps it in RAM)
rgw_gc_obj_min_wait = 60
rgw_gc_processor_period = 30
EOF

# --- monitor (auth is off, so an empty keyring satisfies mkfs) ---------------
monmaptool --create --fsid "$FSID" --addv a "[v2:127.0.0.1:$MON_PORT]" "$DIR/monmap" >/dev/null
: > "$DIR/keyring"
ceph-mon --mkfs -i a --monmap "$DIR/monmap" --keyring "$DIR/keyring"
spawn mon.a ceph-mon -i a
stage "mon started"

# --- OSD (the ceph CLI waits for the monitor to answer) -----------------------
OSD_ID=$(ceph --connect-timeout "$WAIT" osd new "$OSD_UUID")
ceph-osd -i "$OSD_ID" --mkfs --osd-uuid "$OSD_UUID" >"$DIR/log/osd-mkfs.out" 2>&1
spawn "osd.$OSD_ID" ceph-osd -i "$OSD_ID"
stage "osd.$OSD_ID created and started"

# --- S3 user; radosgw-admin also creates the default zone and its pools, and
# blocks until the OSD is up and their PGs are active ---------------------------
timeout "$WAIT" radosgw-admin user create --uid=test --display-name="test user" \
  --access-key="$ACCESS_KEY" --secret-key="$SECRET_KEY" >"$DIR/log/user.json"
stage "pools and S3 user created"

# --- radosgw --------------------------------------------------------------------
spawn rgw radosgw -n client.rgw.s3
# Ready when an anonymous request gets an S3 XML answer from beast.
wait_for "radosgw on 127.0.0.1:$PORT" curl -sf -o /dev/null "http://127.0.0.1:$PORT/"
stage "radosgw answering on 127.0.0.1:$PORT"
# Warm-up: the first bucket and object create the index and data pools (seconds
# each); do it here so that the caller's first request is fast, and so that a
# signed PUT is known to work.  curl 7.88 needs x-amz-content-sha256 set by hand.
s3curl() { curl -sf -o /dev/null --aws-sigv4 aws:amz:us-east-1:s3 --user "$ACCESS_KEY:$SECRET_KEY" \
             -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" "$@"; }
# curl 7.88 signs a bare "?uploads" wrongly; "?uploads=" is canonical.
W="http://127.0.0.1:$PORT/start-s3-warmup"
s3curl -X PUT "$W" && s3curl -X PUT --data-binary ok "$W/probe" &&
  s3curl -X DELETE "$W/probe" &&
  UPLOAD=$(s3curl -o - -X POST "$W/mp?uploads=" | sed -n 's:.*<UploadId>\(.*\)</UploadId>.*:\1:p') &&
  s3curl -X DELETE "$W/mp?uploadId=$UPLOAD" && s3curl -X DELETE "$W" ||
  { echo "warm-up S3 requests failed (logs: $DIR/log)" >&2; exit 1; }
stage "signed bucket, object, multipart requests work"

# --- hand-off ----------------------------------------------------------------------
cat > "$DIR/s3.env" <<EOF
S3_ENDPOINT=http://127.0.0.1:$PORT
S3_ACCESS_KEY=$ACCESS_KEY
S3_SECRET_KEY=$SECRET_KEY
S3_REGION=us-east-1
EOF
cat > "$DIR/s3cfg" <<EOF
[default]
access_key = $ACCESS_KEY
secret_key = $SECRET_KEY
host_base = 127.0.0.1:$PORT
host_bucket = 127.0.0.1:$PORT
use_https = False
signature_v2 = False
bucket_location = us-east-1
EOF
cat "$DIR/s3.env"
