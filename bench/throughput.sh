#!/bin/sh
# Traps per second through the real daemon, for 1, 2 and 4 workers: fills a
# spool directory with N trap files, spread over 16 services as a real
# network's are, starts kivoTrapD on a throwaway PostgreSQL cluster whose
# services all run the plug-in check_dummy (OK), and
# measures from the first file taken out of the spool to the service row
# written for the last trap. In the same run it measures how many times per
# second W parallel launchers start and reap the same plug-in, the ceiling
# of the daemon's rate, and prints the ratio of the two.
#
#   bench/throughput.sh [N]        N trap files per run, 1000 or more (default 2000)
#
# The build directory is build-bench (or $BUILD_DIR).
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
N=${1:-2000}
PLUGIN=/usr/lib/nagios/plugins/check_dummy
# Every wait below gives up after this many seconds.
LIMIT=600

if [ "$N" -lt 1000 ]; then
    echo "usage: $0 [N], N at least 1000" >&2
    exit 2
fi

. bench/lib.sh
bench_setup kivo-bench kivoTrapD kivo-bench-launch-rate

spool_count() { ls -1U "$SPOOL" | wc -l; }

run_daemon() {
    W=$1
    DB=kivo_bench_$W
    RUN="$WORK/run$W"
    SPOOL="$RUN/spool"
    mkdir -p "$SPOOL"
    bench_database "$DB" "$PLUGIN" '$1 ok'
    # Fifteen more services of the device, on the trap OIDs .2 to .16.
    sql -d "$DB" -c "INSERT INTO kivo_plugins (plugin_id, plugin_path, plugin_type, plugin_trap_oid)
            SELECT s, '$PLUGIN', 'trap', '.1.3.6.1.4.1.99.0.' || s FROM generate_series(2, 16) AS s;
        INSERT INTO kivo_services (service_id, service_name, service_parameter,
                service_plugin_id, service_device_id)
            SELECT s, 'bench ' || s, '\$1 ok', s, 1 FROM generate_series(2, 16) AS s;"
    bench_config "$RUN/kivo.conf" "$RUN" "$SPOOL" "$DB" "$W" 1
    i=0
    while [ "$i" -lt "$N" ]; do
        printf 'localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n.1.3.6.1.2.1.1.3.0 0:0:01:02.03\n.1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.%d\n.1.3.6.1.4.1.99.1 0\n.1.3.6.1.4.1.99.2 "trap %d"\ndate 2026-12-07 10:00:00\n' \
            $((i % 16 + 1)) "$i" > "$SPOOL/trap-$(printf '%08d' "$i")"
        i=$((i + 1))
    done

    KIVO_CONF="$RUN/kivo.conf" "$ROOT/$BUILD_DIR/kivoTrapD" > "$RUN/console" 2>&1 &
    DAEMON=$!
    wait_until '[ "$(spool_count)" -lt "$N" ]' 0.005 || { echo "the daemon took no file" >&2; exit 1; }
    START=$(now)
    # The end is read from the database, so this poll may be coarse and
    # takes little from the daemon.
    wait_until '[ "$(grep -c "#EXEC#RETURN exec 0" "$RUN/kivotrapd.log")" -ge "$N" ]' 0.5 ||
        { echo "the daemon did not handle $N traps in ${LIMIT}s" >&2; exit 1; }
    END=$(sql -d "$DB" -c "SELECT extract(epoch FROM max(service_last_exec_time)) FROM kivo_services")
    kill -TERM "$DAEMON"
    wait "$DAEMON" || true
    DAEMON=
    awk -v n="$N" -v s="$START" -v e="$END" 'BEGIN { printf "%.0f", n / (e - s) }' > "$RUN/rate"
}

echo "$N traps per run, plug-in $PLUGIN, $(nproc) cores"
printf '%-8s %14s %18s %8s\n' workers "daemon traps/s" "plug-in starts/s" ratio
for W in 1 2 4; do
    run_daemon "$W"
    RATE=$(cat "$RUN/rate")
    LAUNCH=$("$BUILD_DIR/kivo-bench-launch-rate" "$W" "$N" "$PLUGIN" "0 ok")
    printf '%-8s %14s %18s %8s\n' "$W" "$RATE" "$LAUNCH" \
        "$(awk -v a="$RATE" -v b="$LAUNCH" 'BEGIN { printf "%.2f", a / b }')"
done
