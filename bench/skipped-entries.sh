#!/bin/sh
# What entries left alone in the spool cost the daemon: 100 traps at 20 a
# second through the real daemon (2 workers, check_dummy, sleep=1), once in
# a clean spool and once with 5,000 FIFOs left in it, which the daemon
# reports once and then passes over. It prints the daemon's own processor
# time (user and system, from /proc) over each run, from the start of the
# stream to its last trap handled, and the ratio of the two.
#
#   bench/skipped-entries.sh [FIFOS]     (default 5000)
#
# The build directory is build-bench (or $BUILD_DIR).
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
FIFOS=${1:-5000}
TRAPS=100
PLUGIN=/usr/lib/nagios/plugins/check_dummy
LIMIT=120

. bench/lib.sh
bench_setup kivo-skipped kivoTrapD

# The daemon's time on a processor, all its threads, in nanoseconds.
cpu_ticks() { cat /proc/"$DAEMON"/task/*/schedstat | awk '{ sum += $1 } END { printf "%.0f", sum }'; }

run() {
    NAME=$1
    COUNT=$2
    DB=kivo_skipped_$NAME
    RUN="$WORK/$NAME"
    SPOOL="$RUN/spool"
    mkdir -p "$SPOOL"
    i=0
    while [ "$i" -lt "$COUNT" ]; do
        mkfifo "$SPOOL/fifo-$i"
        i=$((i + 1))
    done
    bench_database "$DB" "$PLUGIN" '$1 ok'
    bench_config "$RUN/kivo.conf" "$RUN" "$SPOOL" "$DB" 2 1
    KIVO_CONF="$RUN/kivo.conf" "$ROOT/$BUILD_DIR/kivoTrapD" > "$RUN/console" 2>&1 &
    DAEMON=$!
    wait_until 'grep -q "load Trap service" "$RUN/kivotrapd.log" 2>/dev/null &&
        [ "$(grep -c "kivo skips spool entry" "$RUN/kivotrapd.log")" -ge "$COUNT" ]' 0.1 ||
        { echo "no start" >&2; exit 1; }
    BEFORE=$(cpu_ticks)
    i=0
    while [ "$i" -lt "$TRAPS" ]; do
        printf 'localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n.1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n.1.3.6.1.4.1.99.1 0\ndate 2026-12-07 10:00:00\n' \
            > "$RUN/next"
        mv "$RUN/next" "$SPOOL/trap-$(printf '%06d' "$i")"
        sleep 0.05
        i=$((i + 1))
    done
    wait_until '[ "$(grep -c "#EXEC#RETURN exec 0" "$RUN/kivotrapd.log")" -ge "$TRAPS" ]' 0.1 ||
        { echo "not all traps handled" >&2; exit 1; }
    AFTER=$(cpu_ticks)
    kill -TERM "$DAEMON"
    wait "$DAEMON" || true
    DAEMON=
    echo $((AFTER - BEFORE)) > "$RUN/ticks"
    SKIPPED=$(grep -c "kivo skips spool entry" "$RUN/kivotrapd.log" || true)
    printf '%-16s %8s %12s %16s\n' "$NAME" "$COUNT" "$(awk -v t="$(cat "$RUN/ticks")" 'BEGIN { printf "%.3f", t / 1e9 }')" "$SKIPPED"
}

echo "$TRAPS traps at 20/s, 2 workers, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-16s %8s %12s %16s\n' spool "entries" "daemon CPU s" "skip lines"
run clean 0
run fifos "$FIFOS"
awk -v a="$(cat "$WORK/clean/ticks")" -v b="$(cat "$WORK/fifos/ticks")" \
    'BEGIN { if (a == 0) a = 1; printf "ratio: %.2f\n", b / a }'
