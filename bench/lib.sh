# What the benchmarks share: sourced by each from the project's top folder
# (". bench/lib.sh") after it has set LIMIT, the seconds every wait_until
# gives up after.
#
#   bench_setup NAME TARGET...   builds the targets (if any) into $BUILD_DIR
#                                (build-bench), makes the work folder WORK
#                                (/tmp/NAME-XXXXXX) and a throwaway cluster in
#                                WORK/pg (port $KIVO_PG_PORT when set), sets
#                                PSQL and PORT, and removes it all on exit,
#                                stopping the daemon in DAEMON and snmptrapd
#                                in SNMPTRAPD first, putting back
#                                net.core.rmem_max when RMEM_BEFORE holds
#                                its earlier value, and calling
#                                bench_cleanup_more when the script defines it
#   sql ARG...                   psql as postgres on that cluster
#   wait_until TEST STEP         evaluates TEST every STEP seconds until it
#                                holds; false after LIMIT seconds
#   bench_database DB PLUGIN PARAMETERS
#                                a database with device 127.0.0.1 and one
#                                trap service on .1.3.6.1.4.1.99.0.1
#   bench_spread_database DB PLUGIN
#                                the same with 16 services, on the trap
#                                OIDs .1.3.6.1.4.1.99.0.1 to .16, each
#                                running PLUGIN with "$1 ok"
#   bench_spread_traps SPOOL N   N trap files in SPOOL (trap-00000000 on),
#                                spread over those 16 services
#   bench_config FILE DIR SPOOL DB WORKERS SLEEP
#                                kivo.conf for it, the logs in DIR
#   now                          seconds since the epoch, with nanoseconds
#   wait_for_line FILE TEXT      true once FILE holds TEXT; false after
#                                WAIT_TENTHS tenths of a second (300)
#   stop_daemon, stop_snmptrapd  SIGTERM to DAEMON or SNMPTRAPD, and wait
#   bench_snmptrapd HANDLER BUFFER
#                                snmptrapd on a free loopback port
#                                (TRAP_PORT) with the handler's sample
#                                settings, this checkout's paths, the
#                                spool SPOOL and the receive buffer BUFFER
#                                (empty: snmptrapd's default), its log in
#                                WORK/snmptrapd.log, into SNMPTRAPD
#
# KEEP_WORK=1 keeps the work folder for a look after the run.

BUILD_DIR=${BUILD_DIR:-build-bench}
DAEMON=
SNMPTRAPD=
# A benchmark that raises net.core.rmem_max sets this to the value before,
# which the cleanup puts back.
RMEM_BEFORE=${RMEM_BEFORE:-}

bench_cleanup() {
    [ -n "$DAEMON" ] && kill -TERM "$DAEMON" 2>/dev/null && wait "$DAEMON" 2>/dev/null || true
    [ -n "$SNMPTRAPD" ] && kill -TERM "$SNMPTRAPD" 2>/dev/null && wait "$SNMPTRAPD" 2>/dev/null || true
    if [ -n "$RMEM_BEFORE" ] && [ "$(sysctl -n net.core.rmem_max)" != "$RMEM_BEFORE" ]; then
        sysctl -q -w net.core.rmem_max="$RMEM_BEFORE" || true
    fi
    if command -v bench_cleanup_more >/dev/null 2>&1; then bench_cleanup_more; fi
    sh testing/pgcluster.sh stop "$CLUSTER" >/dev/null 2>&1 || true
    [ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"
}

bench_setup() {
    name=$1
    shift
    if [ $# -gt 0 ]; then
        cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$BUILD_DIR" --target "$@" >/dev/null
    fi
    WORK=$(mktemp -d "/tmp/$name-XXXXXX")
    # The cluster runs as the postgres user, who must reach its folder.
    chmod 0755 "$WORK"
    CLUSTER="$WORK/pg"
    trap bench_cleanup EXIT
    trap 'exit 1' INT TERM
    sh testing/pgcluster.sh start "$CLUSTER" >/dev/null
    PSQL="$(pg_config --bindir)/psql"
    PORT=$(cat "$CLUSTER/port")
}

sql() { "$PSQL" -X -q -At -v ON_ERROR_STOP=1 -h "$CLUSTER/socket" -p "$PORT" -U postgres "$@"; }

now() { date +%s.%N; }

wait_until() {
    deadline=$(( $(date +%s) + LIMIT ))
    while ! eval "$1"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep "$2"
    done
}

bench_database() {
    sql -d postgres -c "CREATE DATABASE $1 TEMPLATE kivo_template"
    sql -d "$1" -c "INSERT INTO kivo_device (device_id, device_ip_addr) VALUES (1, 2130706433);
        INSERT INTO kivo_plugins (plugin_id, plugin_path, plugin_type, plugin_trap_oid)
            VALUES (1, '$2', 'trap', '.1.3.6.1.4.1.99.0.1');
        INSERT INTO kivo_services (service_id, service_name, service_parameter,
            service_plugin_id, service_device_id) VALUES (1, 'bench', '$3', 1, 1);"
}

bench_spread_database() {
    bench_database "$1" "$2" '$1 ok'
    sql -d "$1" -c "INSERT INTO kivo_plugins (plugin_id, plugin_path, plugin_type, plugin_trap_oid)
            SELECT s, '$2', 'trap', '.1.3.6.1.4.1.99.0.' || s FROM generate_series(2, 16) AS s;
        INSERT INTO kivo_services (service_id, service_name, service_parameter,
                service_plugin_id, service_device_id)
            SELECT s, 'bench ' || s, '\$1 ok', s, 1 FROM generate_series(2, 16) AS s;"
}

bench_spread_traps() {
    awk -v d="$1" -v n="$2" 'BEGIN {
        for (i = 0; i < n; i++) {
            f = sprintf("%s/trap-%08d", d, i)
            printf "localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n" \
                ".1.3.6.1.2.1.1.3.0 0:0:01:02.03\n.1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.%d\n" \
                ".1.3.6.1.4.1.99.1 0\n.1.3.6.1.4.1.99.2 \"trap %d\"\ndate 2026-12-07 10:00:00\n",
                i % 16 + 1, i > f
            close(f)
        }
    }'
}

# Database $1 with N services ($4) of one device, each running plug-in $2
# with "$1 $2" and alerting program $3 with "$ERROR" when critical.
bench_alerting_database() {
    bench_database "$1" "$2" '$1 $2'
    sql -d "$1" -c "INSERT INTO kivo_plugins (plugin_id, plugin_path, plugin_type, plugin_trap_oid)
            SELECT s, '$2', 'trap', '.1.3.6.1.4.1.99.0.' || s FROM generate_series(2, $4) AS s;
        INSERT INTO kivo_services (service_id, service_name, service_parameter,
                service_plugin_id, service_device_id)
            SELECT s, 'bench ' || s, '\$1 \$2', s, 1 FROM generate_series(2, $4) AS s;
        INSERT INTO kivo_program (program_id, program_path) VALUES (1, '$3');
        INSERT INTO kivo_service_response_program (response_service_id, response_program_id,
                response_unknown, response_warning, response_critical, response_parameter)
            SELECT s, 1, false, false, true, '\$ERROR' FROM generate_series(1, $4) AS s;"
}

bench_config() {
    cat > "$1" <<CONF
[LOG]
log_trapd_file=$2/kivotrapd.log
log_trap_receive=$2/trap_receive.log
log_trap_unknown=$2/trap_unknown.log
max_size_file_log=100000000
log_enable=1
[KIVO]
spool_directory=$3/
sleep=$6
trap_pqueue_file=$2/trap.pqueue
thread_number=$5
[POSTGRESQL]
PGSQL_host=$CLUSTER/socket
PGSQL_port=$PORT
PGSQL_db=$4
PGSQL_username=postgres
PGSQL_pwd=
CONF
}

wait_for_line() {
    i=0
    until grep -q -- "$2" "$1" 2>/dev/null; do
        i=$((i + 1))
        [ "$i" -le "${WAIT_TENTHS:-300}" ] || return 1
        sleep 0.1
    done
}

stop_daemon() {
    kill -TERM "$DAEMON"
    wait "$DAEMON" || true
    DAEMON=
}

stop_snmptrapd() {
    kill -TERM "$SNMPTRAPD"
    wait "$SNMPTRAPD" || true
    SNMPTRAPD=
}

bench_snmptrapd() {
    handler=$1 buffer=$2
    sed -e "s|/var/spool/kivo/|$SPOOL/|" \
        -e "s|/usr/local/bin/kivo-spool-handler|$ROOT/$BUILD_DIR/kivo-spool-handler|" \
        -e "s|/usr/share/kivo/kivo-spool-handler.pl|$ROOT/receiver/kivo-spool-handler.pl|" \
        -e "/serverRecvBuf/d" \
        "conf/snmptrapd-$handler.conf.sample" > "$WORK/snmptrapd.conf"
    [ -z "$buffer" ] || echo "[snmp] serverRecvBuf $buffer" >> "$WORK/snmptrapd.conf"
    for attempt in 1 2 3 4 5; do
        TRAP_PORT=$((20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000))
        : > "$WORK/snmptrapd.log"
        snmptrapd -f -m "" -C -c "$WORK/snmptrapd.conf" -LF i "$WORK/snmptrapd.log" \
            "udp:127.0.0.1:$TRAP_PORT" > "$WORK/snmptrapd.out" 2>&1 &
        SNMPTRAPD=$!
        wait_for_line "$WORK/snmptrapd.log" "NET-SNMP version" && return 0
        kill -KILL "$SNMPTRAPD" 2>/dev/null || true
        wait "$SNMPTRAPD" 2>/dev/null || true
        SNMPTRAPD=
    done
    echo "snmptrapd did not start" >&2
    exit 1
}
