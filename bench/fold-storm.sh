#!/bin/sh
# A flapping device through the whole chain, with repeats folded: one
# process sends the same critical SNMPv2c trap (only its uptime changes) at
# RATE a second to snmptrapd on loopback, which hands it to the in-process
# spool handler (16 MiB receive buffer); kivoTrapD (2 workers, check_dummy,
# an alerting program on critical, fold_window=60) takes the spool into a
# throwaway PostgreSQL cluster. It prints the traps sent, those that
# reached the spool, the trap-log lines, the plug-in runs and alerts, and
# the traps lost (sent but never in the trap log).
#
#   bench/fold-storm.sh [COUNT [RATE]]     (default 10000 at 2000/s)
#
# The build directory is build-bench (or $BUILD_DIR).
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
COUNT=${1:-10000}
RATE=${2:-2000}
PLUGIN=/usr/lib/nagios/plugins/check_dummy
LIMIT=120
BUFFER=16777216

RMEM_BEFORE=$(sysctl -n net.core.rmem_max)
. bench/lib.sh
bench_setup kivo-fold kivoTrapD kivo-bench-trap-storm
SPOOL="$WORK/spool"
LOG="$WORK/kivotrapd.log"
ALERTS="$WORK/alerts"
mkdir -p "$SPOOL"
sysctl -q -w net.core.rmem_max="$BUFFER" 2>/dev/null || true

bench_database kivo_fold "$PLUGIN" '$1 "$2"'
printf '#!/bin/sh\necho "$*" >> %s\n' "$ALERTS" > "$WORK/alert.sh"
chmod +x "$WORK/alert.sh"
sql -d kivo_fold -c "INSERT INTO kivo_program (program_id, program_path) VALUES (1, '$WORK/alert.sh');
    INSERT INTO kivo_service_response_program (response_service_id, response_program_id,
        response_unknown, response_warning, response_critical, response_parameter)
        VALUES (1, 1, false, false, true, '--error \$ERROR')"
bench_config "$WORK/kivo.conf" "$WORK" "$SPOOL" kivo_fold 2 1
sed -i 's/^\[KIVO\]$/[KIVO]\nfold_window=60/' "$WORK/kivo.conf"
KIVO_CONF="$WORK/kivo.conf" "$ROOT/$BUILD_DIR/kivoTrapD" > "$WORK/console" 2>&1 &
DAEMON=$!
wait_for_line "$LOG" "load Trap service" || { echo "the daemon did not start" >&2; exit 1; }
bench_snmptrapd perl "$BUFFER"

set -- $("$ROOT/$BUILD_DIR/kivo-bench-trap-storm" repeat "$TRAP_PORT" "$RATE" "$COUNT" flap \
    "$LOG" "$LIMIT" "$SPOOL")
SENT=$1 REACHED=$2 DRAIN=$7
stop_snmptrapd
stop_daemon
LOGGED=$(wc -l < "$WORK/trap_receive.log")
RUNS=$(grep -c '#EXEC#RETURN exec' "$LOG" || true)
ALERTED=$(wc -l < "$ALERTS" 2>/dev/null || echo 0)
echo "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); $COUNT traps at $RATE/s from one device, fold_window=60"
printf '%8s %8s %10s %12s %7s %6s %8s\n' sent reached "trap log" "plug-in runs" alerts lost "drain s"
printf '%8s %8s %10s %12s %7s %6s %8s\n' "$SENT" "$REACHED" "$LOGGED" "$RUNS" "$ALERTED" \
    $((SENT - LOGGED)) "$DRAIN"
