#!/bin/sh
# Trap storms through the whole chain: one process sends SNMPv2c traps over
# UDP to 127.0.0.1, snmptrapd hands them to a spool handler, the handler
# writes the spool, and kivoTrapD (2 workers, plug-in check_dummy) takes them
# into a throwaway PostgreSQL cluster. For each handler, the compiled one
# (traphandle) and the in-process one (embedded Perl), it sends 100, 500,
# 1,000 and 2,000 traps a second for 10 s each, and a burst of 10,000 at
# 3,000 a second, with snmptrapd's receive buffer at 16 MiB (serverRecvBuf;
# net.core.rmem_max is raised for the run where the machine lets it, and put
# back at the end); then the in-process handler once more at 1,000 and 2,000
# a second with snmptrapd's default buffer. For each run it prints the traps
# sent, those that reached the spool (trap files that appeared in it),
# handled (their plug-in started) and lost (sent but never in the spool:
# dropped before it), the time from sending a trap to its plug-in's start
# (the daemon's "EXEC" line), and the drain time: from the last trap sent to
# the spool's emptying. A run waits for the spool to drain, at most LIMIT
# seconds after the last trap was sent; what is still in the spool then is
# shown as left in the drain column, not as lost.
#
# Then the intake alone: trap files renamed into the spool one every 137 ms,
# with sleep=1, the time from the rename to the plug-in's start; and the
# daemon's CPU use over 10 s when idle with sleep=0.
#
#   bench/storm.sh [handler...]     handlers: traphandle perl (default both)
#
# The build directory is build-bench (or $BUILD_DIR).
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
HANDLERS=${*:-traphandle perl}
PLUGIN=/usr/lib/nagios/plugins/check_dummy
SUSTAINED_SECONDS=10
# Seconds after the last trap sent that a run waits for the spool to drain.
LIMIT=60
# Every other wait gives up after this many tenths of a second.
WAIT_TENTHS=300
BUFFER=16777216

RMEM_BEFORE=$(sysctl -n net.core.rmem_max)
. bench/lib.sh
bench_setup kivo-storm kivoTrapD kivo-spool-handler kivo-bench-trap-storm
STORM="$ROOT/$BUILD_DIR/kivo-bench-trap-storm"
SPOOL="$WORK/spool"
LOG="$WORK/kivotrapd.log"
mkdir -p "$SPOOL"

bench_database kivo_storm "$PLUGIN" '$1 "$2"'

if sysctl -q -w net.core.rmem_max="$BUFFER" 2>/dev/null; then
    RMEM_NOTE="net.core.rmem_max raised to $BUFFER for the run"
else
    RMEM_NOTE="net.core.rmem_max stays $RMEM_BEFORE (not allowed to raise it)"
fi

start_daemon() {
    bench_config "$WORK/kivo.conf" "$WORK" "$SPOOL" kivo_storm 2 "$1"
    rm -f "$LOG"
    KIVO_CONF="$WORK/kivo.conf" "$ROOT/$BUILD_DIR/kivoTrapD" > "$WORK/console" 2>&1 &
    DAEMON=$!
    wait_for_line "$LOG" "load Trap service" || { echo "the daemon did not start" >&2; exit 1; }
}

RUN=0
# One storm: handler, rate, number of traps, receive buffer (empty: the
# default), and "burst" or nothing for the label.
storm() {
    RUN=$((RUN + 1))
    bench_snmptrapd "$1" "$4"
    result=$("$STORM" send "$TRAP_PORT" "$2" "$3" "storm$RUN" "$LOG" "$LIMIT" "$SPOOL")
    stop_snmptrapd
    label="$2/s"
    [ -z "${5:-}" ] || label="burst $2/s"
    buffer=default
    [ -z "$4" ] || buffer="16 MiB"
    # shellcheck disable=SC2086
    set -- "$1" "$label" "$buffer" $result
    # The columns, without the time the receiver lagged.
    set -- "$1" "$2" "$3" "$4" "$5" "$6" "$7" "$8" "$9" "${10}"
    printf '%-11s %-15s %-8s %7s %8s %8s %6s %11s %11s %8s\n' "$@"
}

echo "$(nproc) cores; $RMEM_NOTE; daemon with 2 workers, plug-in $PLUGIN"
printf '%-11s %-15s %-8s %7s %8s %8s %6s %11s %11s %8s\n' handler rate buffer sent reached \
    handled lost "median ms" "99th % ms" "drain s"
start_daemon 1
for handler in $HANDLERS; do
    for rate in 100 500 1000 2000; do
        storm "$handler" "$rate" $((rate * SUSTAINED_SECONDS)) "$BUFFER"
    done
    storm "$handler" 3000 10000 "$BUFFER" burst
done
case " $HANDLERS " in
    *" perl "*)
        for rate in 1000 2000; do
            storm perl "$rate" $((rate * SUSTAINED_SECONDS)) ""
        done ;;
esac
echo "plug-in runs that returned 0 in the daemon's log: $(grep -c '#EXEC#RETURN exec 0' "$LOG")"
stop_daemon

echo
start_daemon 1
set -- $("$STORM" files "$SPOOL" 137 50 intake "$LOG" 10)
stop_daemon
echo "intake, sleep=1: $3 of $1 files handled; from rename to plug-in start median $5 ms, 99th percentile $6 ms"

start_daemon 0
PID_STAT="/proc/$DAEMON/stat"
ticks() { awk '{ print $14 + $15 }' "$PID_STAT"; }
sleep 1
BEFORE=$(ticks)
sleep 10
AFTER=$(ticks)
stop_daemon
echo "idle daemon, sleep=0: $(awk -v t=$((AFTER - BEFORE)) -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%.1f", 100 * t / hz / 10 }')% of a core"
