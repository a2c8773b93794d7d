#!/bin/sh
# Runs the whole chain on a local default, everything under work/ in the
# project: a throwaway PostgreSQL cluster with the schema and one sample
# device (127.0.0.1) with one trap service, snmptrapd on a loopback port
# handing traps to the spool handler, and the daemon in the foreground.
# Ctrl-C or SIGTERM stops it all.
#
#   KIVO_TRAP_PORT     UDP port of snmptrapd on 127.0.0.1 (default 1162)
#   KIVO_TRAP_HANDLER  perl: the in-process handler (default); traphandle:
#                      the compiled handler, one process per trap
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
WORK="$ROOT/work"
PORT=${KIVO_TRAP_PORT:-1162}
HANDLER=${KIVO_TRAP_HANDLER:-perl}
case "$HANDLER" in
    perl|traphandle) ;;
    *) echo "run-local.sh: KIVO_TRAP_HANDLER must be perl or traphandle" >&2; exit 2 ;;
esac

if [ "$(id -u)" -eq 0 ]; then
    scripts/install-deps.sh
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target kivoTrapD kivo-spool-handler

# Fresh state at every run.
testing/pgcluster.sh stop "$WORK/pg" 2>/dev/null || true
rm -rf "$WORK"
mkdir -p "$WORK/spool" "$WORK/log"
chmod 0755 "$WORK"

SNMPTRAPD=
cleanup() {
    [ -n "$SNMPTRAPD" ] && kill "$SNMPTRAPD" 2>/dev/null || true
    testing/pgcluster.sh stop "$WORK/pg" >/dev/null 2>&1 || true
}
trap cleanup EXIT

testing/pgcluster.sh start "$WORK/pg"
PGHOST="$WORK/pg/socket"
PGPORT=$(cat "$WORK/pg/port")
psql() { command psql -X -q -h "$PGHOST" -p "$PGPORT" -U postgres -v ON_ERROR_STOP=1 "$@"; }
psql -d postgres -c "CREATE DATABASE kivo TEMPLATE kivo_template"

# The sample alerting program notes every call.
cat > "$WORK/alert.sh" <<ALERT
#!/bin/sh
echo "\$(date '+%F %T') alert \$*" >> "$WORK/log/alerts.log"
ALERT
chmod 0755 "$WORK/alert.sh"
psql -d kivo -v alert_program="$WORK/alert.sh" -f db/sample.sql

cat > "$WORK/kivo.conf" <<CONF
[LOG]
log_trapd_file=$WORK/log/kivotrapd.log
log_trap_receive=$WORK/log/trap_receive.log
log_trap_unknown=$WORK/log/trap_unknown.log
max_size_file_log=10000000
log_enable=1
[KIVO]
spool_directory=$WORK/spool/
sleep=1
trap_pqueue_file=$WORK/trap.pqueue
thread_number=2
[POSTGRESQL]
PGSQL_host=$PGHOST
PGSQL_port=$PGPORT
PGSQL_db=kivo
PGSQL_username=postgres
PGSQL_pwd=
CONF

# The sample configuration of the chosen handler, with this checkout's paths.
sed -e "s|/var/spool/kivo/|$WORK/spool/|" \
    -e "s|/usr/local/bin/kivo-spool-handler|$ROOT/build/kivo-spool-handler|" \
    -e "s|/usr/share/kivo/kivo-spool-handler.pl|$ROOT/receiver/kivo-spool-handler.pl|" \
    "conf/snmptrapd-$HANDLER.conf.sample" > "$WORK/snmptrapd.conf"
# Messages up to the info level: without the in-process handler's debug line
# for every trap.
snmptrapd -f -m "" -C -c "$WORK/snmptrapd.conf" -LF i "$WORK/log/snmptrapd.log" \
    "udp:127.0.0.1:$PORT" &
SNMPTRAPD=$!

cat <<TEXT
kivoTrapD runs; settings in $WORK/kivo.conf. Send the sample trap with
  snmptrap -v 2c -c public -m "" udp:127.0.0.1:$PORT '' .1.3.6.1.4.1.99.0.1 \\
      .1.3.6.1.4.1.99.1 i 2 .1.3.6.1.4.1.99.2 s "disk full"
and look at
  $WORK/log/kivotrapd.log       (EXEC lines), $WORK/log/trap_receive.log,
  $WORK/log/alerts.log, and the database:
  psql -h $PGHOST -p $PGPORT -U postgres -d kivo -c 'SELECT * FROM kivo_services' \\
      -c 'SELECT * FROM kivo_error_happen'
Ctrl-C stops everything.
TEXT

KIVO_CONF="$WORK/kivo.conf" "$ROOT/build/kivoTrapD" &
DAEMON=$!
trap 'kill -TERM $DAEMON 2>/dev/null || true' INT TERM
tail -n +1 -F "$WORK/log/kivotrapd.log" 2>/dev/null &
TAIL=$!
# The first wait ends at a signal, the second when the daemon has stopped.
wait $DAEMON || true
wait $DAEMON 2>/dev/null || true
# Lets tail show the stop lines.
sleep 1
kill $TAIL 2>/dev/null || true
trap - INT TERM
