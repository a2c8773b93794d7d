#!/bin/sh
# Trap storms through the whole chain as the package installs it: snmptrapd
# started as the package's drop-in starts it, with the in-process handler's
# snippet (packaging/snmptrapd-perl.conf.in: its 16 MiB receive buffer) and
# net.core.rmem_max at the value of the package's sysctl file; the daemon
# with the sample settings' workers (conf/kivo.conf.sample) at the unit's
# nice value (packaging/kivotrapd.service.in), as the unit runs it. 10,000
# SNMPv2c traps at 3,000 and at 5,000 a second from 1,000 devices
# (127.10.0.1 and on, one source address each, every device with a trap
# service in a throwaway database), each rate with the unit's nice value and
# with none.
#
# For each run it prints the traps sent, those that reached the spool,
# handled (plug-in started) and lost (never in the spool), the time from
# sending to the plug-in's start, the drain time (last trap sent to the
# spool's emptying), the lag (last trap sent to the last file spooled), the
# processor time that snmptrapd and the daemon (its plug-ins included) used,
# the time snmptrapd waited for a processor while it had work (its run-queue
# wait, /proc/PID/schedstat: what the nice value changes), the datagrams that
# the kernel dropped for a full receive buffer (UdpRcvbufErrors) and the
# receive queue's peak. The whole chain runs in a network
# namespace of its own with only loopback: host-name lookups of the devices
# fail at once, as without DNS, and the drop counter is the run's alone.
#
#   bench/storm-installed.sh [RATE...]     rates (default 3000 5000)
#
# PROFILE=1 also samples snmptrapd with perf during each run and prints where
# its time went, by library. SPOOL_FS=tmpfs puts the spool and the staging
# directory on a tmpfs of the run's own (in a mount namespace of its own), to
# tell the file system's share of snmptrapd's time: an ext4 without a journal
# skips, for every new inode, the inodes freed in the last seconds, which a
# storm of created and removed spool files makes slow. BUFFER=default
# drops the snippet's receive buffer, leaving snmptrapd the kernel's default
# (net.core.rmem_default), which loses traps whenever snmptrapd waits for the
# processor for more than a few tens of milliseconds: it shows how the nice
# value shares the processor. NICE="N..." runs the daemon at those nice
# values instead of the unit's and 0.
#
# Run as root. net.core.rmem_max is put back at the end. The build directory
# is build-bench (or $BUILD_DIR).
set -eu
cd "$(dirname "$0")/.."

if [ "${1:-}" != --inside ]; then
    RMEM_BEFORE=$(sysctl -n net.core.rmem_max)
    RMEM=$(sed -n 's/^net\.core\.rmem_max *= *//p' packaging/kivotrapd.sysctl)
    sysctl -q -w net.core.rmem_max="$RMEM"
    status=0
    unshare -n -m "$0" --inside "$@" || status=$?
    sysctl -q -w net.core.rmem_max="$RMEM_BEFORE"
    exit "$status"
fi
shift
RATES=${*:-3000 5000}
ip link set lo up

ROOT=$(pwd)
PLUGIN=/usr/lib/nagios/plugins/check_dummy
COUNT=10000
DEVICES=1000
# Seconds after the last trap sent that a run waits for the spool to drain.
LIMIT=120
WAIT_TENTHS=300
UNIT_NICE=$(sed -n 's/^Nice=//p' packaging/kivotrapd.service.in)
WORKERS=$(sed -n 's/^thread_number=//p' conf/kivo.conf.sample)

bench_cleanup_more() {
    umount "$WORK/spool" 2>/dev/null || true
}
. bench/lib.sh
bench_setup kivo-storm-installed kivoTrapD kivo-bench-trap-storm
STORM="$ROOT/$BUILD_DIR/kivo-bench-trap-storm"
SPOOL="$WORK/spool/kivo"
LOG="$WORK/kivotrapd.log"
mkdir -p "$WORK/spool"
if [ "${SPOOL_FS:-}" = tmpfs ]; then
    mount -t tmpfs -o size=512m kivo-bench "$WORK/spool"
fi
mkdir -p "$SPOOL"

# Device d (0 to DEVICES-1) has the address 127.10.(d / 200).(d % 200 + 1),
# as the sender gives it, and one trap service.
sql -d postgres -c "CREATE DATABASE kivo_storm TEMPLATE kivo_template"
sql -d kivo_storm -c "INSERT INTO kivo_device (device_id, device_ip_addr)
        SELECT d + 1, (127::bigint << 24) + (10 << 16) + ((d / 200) << 8) + d % 200 + 1
        FROM generate_series(0, $DEVICES - 1) AS d;
    INSERT INTO kivo_plugins (plugin_id, plugin_path, plugin_type, plugin_trap_oid)
        VALUES (1, '$PLUGIN', 'trap', '.1.3.6.1.4.1.99.0.1');
    INSERT INTO kivo_services (service_id, service_name, service_parameter,
            service_plugin_id, service_device_id)
        SELECT d + 1, 'bench ' || d, '\$1 \"\$2\"', 1, d + 1 FROM generate_series(0, $DEVICES - 1) AS d;"

# The package's snippet with this checkout's handler and the run's spool.
sed -e "s|@KIVO_FULL_DATADIR@/kivo-spool-handler.pl|$ROOT/receiver/kivo-spool-handler.pl|" \
    -e "s|/var/spool/kivo/|$SPOOL/|" packaging/snmptrapd-perl.conf.in > "$WORK/snmptrapd-perl.conf"
if [ "${BUFFER:-}" = default ]; then
    sed -i '/serverRecvBuf/d' "$WORK/snmptrapd-perl.conf"
fi

# The daemon at the given nice value, as the unit runs it with Nice=.
start_daemon() {
    bench_config "$WORK/kivo.conf" "$WORK" "$SPOOL" kivo_storm "$WORKERS" 1
    rm -f "$LOG"
    KIVO_CONF="$WORK/kivo.conf" nice -n "$1" "$ROOT/$BUILD_DIR/kivoTrapD" > "$WORK/console" 2>&1 &
    DAEMON=$!
    wait_for_line "$LOG" "load Trap service" || { echo "the daemon did not start" >&2; exit 1; }
}

# snmptrapd with the drop-in's command line: its own settings and the
# snippet, logging into a file (not standard output) and listening on
# loopback.
start_snmptrapd() {
    command=$(sed -n 's/^ExecStart=\(..*\)$/\1/p' packaging/snmptrapd-dropin.conf.in |
        sed -e "s|\${KIVO_SNMPTRAPD_CONF}|$WORK/snmptrapd-perl.conf|" \
            -e "s| -LOw | -LF i $WORK/snmptrapd.log |" -e "s| udp:162 udp6:162\$| udp:127.0.0.1:1162|")
    : > "$WORK/snmptrapd.log"
    # shellcheck disable=SC2086
    SNMP_PERSISTENT_DIR="$WORK/snmp-persistent" $command > "$WORK/snmptrapd.out" 2>&1 &
    SNMPTRAPD=$!
    wait_for_line "$WORK/snmptrapd.log" "NET-SNMP version" || { echo "snmptrapd did not start" >&2; exit 1; }
}

# Processor seconds of a process: its own (all threads), or with its reaped
# children too.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# Nanoseconds a process waited on a run queue.
run_queue_wait() { awk '{ print $2 }' "/proc/$1/schedstat"; }
cpu_ticks_children() { awk '{ print $14 + $15 + $16 + $17 }' "/proc/$1/stat"; }
seconds() { awk -v t="$1" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.1f", t / hz }'; }
rcvbuf_errors() { awk '/^Udp:/ { if (n++) print $6 }' /proc/net/snmp; }
# snmptrapd's receive queue in bytes (port 1162 is 048A), every 50 ms while
# WORK/sampling exists, for at most 10 minutes.
sample_queue() {
    i=0
    while [ -e "$WORK/sampling" ] && [ "$i" -lt 12000 ]; do
        awk 'function hex(text, i, n) {
                 for (i = 1; i <= length(text); i++) n = n * 16 + index("0123456789ABCDEF", substr(text, i, 1)) - 1
                 return n
             }
             $2 ~ /:048A$/ { split($5, queue, ":"); print hex(toupper(queue[2])) }' /proc/net/udp
        i=$((i + 1))
        sleep 0.05
    done
}

RUN=0
# One storm: rate, nice value of the daemon.
storm() {
    RUN=$((RUN + 1))
    start_daemon "$2"
    start_snmptrapd
    drops_before=$(rcvbuf_errors)
    : > "$WORK/sampling"
    sample_queue > "$WORK/queue" &
    SAMPLER=$!
    trapd_before=$(cpu_ticks "$SNMPTRAPD")
    wait_before=$(run_queue_wait "$SNMPTRAPD")
    daemon_before=$(cpu_ticks_children "$DAEMON")
    if [ -n "${PROFILE:-}" ]; then
        perf record -q -F 499 -p "$SNMPTRAPD" -o "$WORK/perf$RUN.data" > /dev/null 2>&1 &
        PERF=$!
    fi
    result=$("$STORM" send 1162 "$1" "$COUNT" "installed$RUN" "$LOG" "$LIMIT" "$SPOOL" "$DEVICES")
    if [ -n "${PROFILE:-}" ]; then
        kill -INT "$PERF"
        wait "$PERF" || true
        perf report -i "$WORK/perf$RUN.data" --stdio --sort dso 2>/dev/null |
            grep -v '^#' | grep -v '^$' | head -n 8 > "$WORK/profile$RUN" || true
    fi
    trapd=$(seconds $(( $(cpu_ticks "$SNMPTRAPD") - trapd_before )))
    waited=$(awk -v ns=$(( $(run_queue_wait "$SNMPTRAPD") - wait_before )) 'BEGIN { printf "%.2f", ns / 1e9 }')
    daemon=$(seconds $(( $(cpu_ticks_children "$DAEMON") - daemon_before )))
    drops=$(( $(rcvbuf_errors) - drops_before ))
    rm -f "$WORK/sampling"
    wait "$SAMPLER" || true
    queue=$(awk '{ if ($1 > peak) peak = $1 } END { printf "%d", peak / 1024 }' "$WORK/queue")
    stop_snmptrapd
    stop_daemon
    # shellcheck disable=SC2086
    set -- "$1/s" "$2" $result "$trapd" "$waited" "$daemon" "$drops" "$queue"
    printf '%-8s %4s %7s %8s %8s %6s %10s %10s %8s %6s %11s %8s %9s %8s %9s\n' "$@"
}

echo "$(nproc) cores, load average $(cut -d ' ' -f 1-3 /proc/loadavg);" \
    "spool on $(stat -f -c %T "$SPOOL"); receive buffer ${BUFFER:-16 MiB};" \
    "net.core.rmem_max $(sysctl -n net.core.rmem_max); $COUNT traps from $DEVICES devices;" \
    "daemon with $WORKERS workers, plug-in $PLUGIN"
printf '%-8s %4s %7s %8s %8s %6s %10s %10s %8s %6s %11s %8s %9s %8s %9s\n' rate nice sent reached \
    handled lost "median ms" "99th % ms" "drain s" "lag s" "snmptrapd s" "waited s" "daemon s" \
    dropped "queue KiB"
for rate in $RATES; do
    for nice in ${NICE:-$UNIT_NICE 0}; do
        storm "$rate" "$nice"
    done
done
echo "load average at the end $(cut -d ' ' -f 1-3 /proc/loadavg)"
if [ -n "${PROFILE:-}" ]; then
    for run in $(seq 1 "$RUN"); do
        echo "snmptrapd's time by library, run $run:"
        cat "$WORK/profile$run"
    done
fi
