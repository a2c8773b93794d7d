#!/bin/sh
# Critical traps through the daemon with its database "a few milliseconds
# away": 64 workers, 16 services, a compiled plug-in that sleeps 50 ms and
# exits with the trap's state (2 and 0 by turns for each service, so that
# every trap writes its row and opens or acknowledges a record in one
# transaction: five or six round trips), and an alerting program. The
# daemon reaches the throwaway cluster through bench/delayRelay.cpp, which
# holds every chunk DELAY each way.
# For 0 and 1 ms each way and 1, 4 and 16 connections (PGSQL_connections) it
# prints the traps per second, from the first file taken out of the spool to
# the last service row written.
#
#   bench/remote-db.sh [N]        N trap files per run (default 3000)
#
# The build directory is build-bench (or $BUILD_DIR).
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
N=${1:-3000}
LIMIT=600
RELAY=
bench_cleanup_more() {
    [ -n "$RELAY" ] && kill -KILL "$RELAY" 2>/dev/null && wait "$RELAY" 2>/dev/null || true
}
. bench/lib.sh
bench_setup kivo-remote kivoTrapD kivo-bench-delay-relay kivo-bench-sleep-plugin
PLUGIN="$ROOT/$BUILD_DIR/kivo-bench-sleep-plugin"

spool_count() { ls -1U "$SPOOL" | wc -l; }

# One run: the delay each way in microseconds, and the connections.
run() {
    DELAY=$1 CONNECTIONS=$2
    NAME="d${DELAY}c${CONNECTIONS}"
    DB="kivo_remote_$NAME"
    RUN="$WORK/$NAME"
    SPOOL="$RUN/spool"
    mkdir -p "$SPOOL"
    RELAY_PORT=$((20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000))
    "$ROOT/$BUILD_DIR/kivo-bench-delay-relay" "$RELAY_PORT" "$CLUSTER/socket/.s.PGSQL.$PORT" \
        "$DELAY" &
    RELAY=$!
    bench_database "$DB" "$PLUGIN" '50 $1'
    sql -d "$DB" -c "INSERT INTO kivo_plugins (plugin_id, plugin_path, plugin_type, plugin_trap_oid)
            SELECT s, '$PLUGIN', 'trap', '.1.3.6.1.4.1.99.0.' || s FROM generate_series(2, 16) AS s;
        INSERT INTO kivo_services (service_id, service_name, service_parameter,
                service_plugin_id, service_device_id)
            SELECT s, 'bench ' || s, '50 \$1', s, 1 FROM generate_series(2, 16) AS s;
        INSERT INTO kivo_program (program_id, program_path) VALUES (1, '/bin/true');
        INSERT INTO kivo_service_response_program (response_service_id, response_program_id,
                response_unknown, response_warning, response_critical, response_parameter)
            SELECT s, 1, false, false, true, '\$ERROR' FROM generate_series(1, 16) AS s;"
    bench_config "$RUN/kivo.conf" "$RUN" "$SPOOL" "$DB" 64 1
    sed -i -e "s|^PGSQL_host=.*|PGSQL_host=127.0.0.1|" -e "s|^PGSQL_port=.*|PGSQL_port=$RELAY_PORT|" \
        -e "s|^\[POSTGRESQL\]$|[POSTGRESQL]\nPGSQL_connections=$CONNECTIONS|" "$RUN/kivo.conf"
    i=0
    while [ "$i" -lt "$N" ]; do
        # Service i % 16 + 1 gets 2 and 0 by turns.
        printf 'localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n.1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.%d\n.1.3.6.1.4.1.99.1 %d\ndate 2026-12-07 10:00:00\n' \
            $((i % 16 + 1)) $(( (i / 16) % 2 == 0 ? 2 : 0 )) > "$SPOOL/trap-$(printf '%08d' "$i")"
        i=$((i + 1))
    done
    KIVO_CONF="$RUN/kivo.conf" "$ROOT/$BUILD_DIR/kivoTrapD" > "$RUN/console" 2>&1 &
    DAEMON=$!
    wait_until '[ "$(spool_count)" -lt "$N" ]' 0.005 || { echo "the daemon took no file" >&2; exit 1; }
    START=$(now)
    wait_until '[ "$(spool_count)" -eq 0 ]' 0.2 ||
        { echo "the daemon did not handle $N traps in ${LIMIT}s" >&2; exit 1; }
    END=$(sql -d "$DB" -c "SELECT extract(epoch FROM max(service_last_exec_time)) FROM kivo_services")
    RECORDS=$(sql -d "$DB" -c "SELECT count(*) FROM kivo_error_happen")
    stop_daemon
    kill -KILL "$RELAY"
    wait "$RELAY" 2>/dev/null || true
    RELAY=
    RATE=$(awk -v n="$N" -v s="$START" -v e="$END" 'BEGIN { printf "%.0f", n / (e - s) }')
    printf '%-14s %12s %10s %9s\n' "$(awk -v d="$DELAY" 'BEGIN { print d / 1000 }')" "$CONNECTIONS" "$RATE" "$RECORDS"
}

echo "$N traps per run, 64 workers, 16 services, plug-in of 50 ms, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-14s %12s %10s %9s\n' "ms each way" connections "traps/s" records
for delay in 0 1000; do
    for connections in 1 4 16; do
        run "$delay" "$connections"
    done
done
