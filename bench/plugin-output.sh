#!/bin/sh
# The daemon's peak memory while it handles one trap whose plug-in writes a
# large output: for each size S (in MB) it starts kivoTrapD on a throwaway
# PostgreSQL cluster with one service whose plug-in prints S MB and exits 2,
# spools one trap, waits for the run's RETURN line, and prints the daemon's
# peak resident memory (VmHWM), the time the run took, the bytes stored for
# it and the size of the system log. The first line is the same daemon with
# a plug-in that prints one line.
#
#   bench/plugin-output.sh [S...]      sizes in MB (default 1 10 100)
#
# The build directory is build-bench (or $BUILD_DIR); plugin_output_max is
# left at its default.
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SIZES=${*:-1 10 100}
# Every wait below gives up after this many seconds.
LIMIT=300

. bench/lib.sh
bench_setup kivo-bench kivoTrapD

# run NAME BYTES: one daemon, one trap whose plug-in prints BYTES bytes.
run() {
    NAME=$1
    BYTES=$2
    DB=kivo_bench_$NAME
    RUN="$WORK/$NAME"
    SPOOL="$RUN/spool"
    mkdir -p "$SPOOL"
    bench_database "$DB" "$ROOT/daemon/testdata/print_bytes.sh" '$1 2'
    bench_config "$RUN/kivo.conf" "$RUN" "$SPOOL" "$DB" 1 1
    KIVO_CONF="$RUN/kivo.conf" "$ROOT/$BUILD_DIR/kivoTrapD" > "$RUN/console" 2>&1 &
    DAEMON=$!
    wait_until 'grep -q "#load Trap service" "$RUN/kivotrapd.log" 2>/dev/null' 0.05 ||
        { echo "the daemon did not start" >&2; exit 1; }
    printf 'localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n.1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n.1.3.6.1.4.1.99.1 %s\ndate 2026-12-07 10:00:00\n' \
        "$BYTES" > "$RUN/trap"
    START=$(now)
    mv "$RUN/trap" "$SPOOL/trap"
    wait_until 'grep -q "#EXEC#RETURN exec" "$RUN/kivotrapd.log"' 0.01 ||
        { echo "the trap was not handled in ${LIMIT}s" >&2; exit 1; }
    END=$(now)
    PEAK=$(awk '/^VmHWM/ { print $2 }' "/proc/$DAEMON/status")
    kill -TERM "$DAEMON"
    wait "$DAEMON" || true
    DAEMON=
    STORED=$(sql -d "$DB" -c "SELECT octet_length(service_last_stdout) FROM kivo_services")
    LOG=$(wc -c < "$RUN/kivotrapd.log")
    printf '%-12s %14s %10s %12s %12s\n' "$NAME" "$PEAK" \
        "$(awk -v s="$START" -v e="$END" 'BEGIN { printf "%.2f", e - s }')" "$STORED" "$LOG"
}

echo "one trap per daemon, plugin_output_max at its default (1048576), $(nproc) cores"
printf '%-12s %14s %10s %12s %12s\n' output "peak RSS (kB)" "run (s)" "stored (B)" "log (B)"
run one_line 20
for S in $SIZES; do
    run "mb_$S" $((S * 1000000))
done
