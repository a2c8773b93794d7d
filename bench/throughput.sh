#!/bin/sh
# Traps per second through the real daemon, for 1, 2 and 4 workers: fills a
# spool directory with N trap files, spread over 16 services as a real
# network's are, starts kivoTrapD on a throwaway PostgreSQL cluster whose
# services all run the plug-in check_dummy (OK), and
# measures from the first file taken out of the spool to the service row
# written for the last trap. Each run is made twice: once without metrics,
# once with the metrics listener on and scraped with curl every second. In
# the same run it measures how many times per second W parallel launchers
# start and reap the same plug-in, the ceiling of the daemon's rate, and
# prints the ratio of the daemon's rate without metrics to it.
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

# Asks the listener at URL for its metrics every second while the daemon
# runs, LIMIT times at most; counts the answers in $RUN/scrapes.
scrape() {
    n=0
    i=0
    while [ "$i" -lt "$LIMIT" ] && kill -0 "$DAEMON" 2>/dev/null; do
        curl -sf -o /dev/null "$1" && n=$((n + 1))
        echo "$n" > "$RUN/scrapes"
        i=$((i + 1))
        sleep 1
    done
}

# run_daemon W [listen]: one run with W workers; with "listen", the metrics
# listener on and scraped.
run_daemon() {
    W=$1
    RUN="$WORK/run$W${2:-}"
    DB=kivo_bench_$W${2:-}
    SPOOL="$RUN/spool"
    mkdir -p "$SPOOL"
    bench_spread_database "$DB" "$PLUGIN"
    bench_config "$RUN/kivo.conf" "$RUN" "$SPOOL" "$DB" "$W" 1
    if [ -n "${2:-}" ]; then
        sed -i 's|^\[KIVO\]$|[KIVO]\nmetrics_listen=127.0.0.1:0|' "$RUN/kivo.conf"
    fi
    bench_spread_traps "$SPOOL" "$N"

    KIVO_CONF="$RUN/kivo.conf" "$ROOT/$BUILD_DIR/kivoTrapD" > "$RUN/console" 2>&1 &
    DAEMON=$!
    SCRAPER=
    if [ -n "${2:-}" ]; then
        wait_until 'grep -qs "#INFO#metrics served on " "$RUN/kivotrapd.log"' 0.005 ||
            { echo "the listener did not start" >&2; exit 1; }
        URL=$(sed -n 's|.*#INFO#metrics served on ||p' "$RUN/kivotrapd.log")
        scrape "$URL" &
        SCRAPER=$!
    fi
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
    if [ -n "$SCRAPER" ]; then
        wait "$SCRAPER" || true
        [ "$(cat "$RUN/scrapes")" -gt 0 ] || { echo "no scrape was answered" >&2; exit 1; }
    fi
    awk -v n="$N" -v s="$START" -v e="$END" 'BEGIN { printf "%.0f", n / (e - s) }' > "$RUN/rate"
}

echo "$N traps per run, plug-in $PLUGIN, $(nproc) cores"
printf '%-8s %14s %20s %18s %8s\n' workers "daemon traps/s" "scraped each second" \
    "plug-in starts/s" ratio
for W in 1 2 4; do
    run_daemon "$W"
    RATE=$(cat "$RUN/rate")
    run_daemon "$W" listen
    SCRAPED=$(cat "$RUN/rate")
    LAUNCH=$("$BUILD_DIR/kivo-bench-launch-rate" "$W" "$N" "$PLUGIN" "0 ok")
    printf '%-8s %14s %20s %18s %8s\n' "$W" "$RATE" "$SCRAPED" "$LAUNCH" \
        "$(awk -v a="$RATE" -v b="$LAUNCH" 'BEGIN { printf "%.2f", a / b }')"
done
