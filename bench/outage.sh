#!/bin/sh
# A database outage under load: a steady stream of traps goes into the spool
# of the real daemon (2 workers) while its PostgreSQL server is stopped for
# a while in the middle of the stream. Every trap makes check_dummy report a
# warning, so each one leaves one error record. Prints the traps sent, the
# traps stored, the traps lost (must be 0), and the catch-up time: from the
# server's return to the record of the last trap sent before it; with the
# default back-off the daemon finds the server again at its next attempt,
# which may come up to about the outage's length (at most 30 s) after the
# server's return.
#
#   bench/outage.sh [RATE [OUTAGE]]   traps per second (default 20) and
#                                     seconds of outage (default 10); the
#                                     stream runs OUTAGE seconds before and
#                                     after it too
#
# The daemon uses its default reconnection back-off. The build directory is
# build-bench (or $BUILD_DIR).
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
RATE=${1:-20}
OUTAGE=${2:-10}
PLUGIN=/usr/lib/nagios/plugins/check_dummy
# Every wait below gives up after this many seconds.
LIMIT=300

# A port of its own, which the halt and resume below name again.
KIVO_PG_PORT=54391
export KIVO_PG_PORT
. bench/lib.sh
bench_setup kivo-outage kivoTrapD
db() { sql -d kivo_bench "$@"; }

SPOOL="$WORK/spool"
mkdir -p "$SPOOL"
bench_database kivo_bench "$PLUGIN" '$1 "$2"'
bench_config "$WORK/kivo.conf" "$WORK" "$SPOOL" kivo_bench 2 1

KIVO_CONF="$WORK/kivo.conf" "$ROOT/$BUILD_DIR/kivoTrapD" > "$WORK/console" 2>&1 &
DAEMON=$!
wait_until 'grep -q "#INFO#load Trap service" "$WORK/kivotrapd.log" 2>/dev/null' 0.1 ||
    { echo "the daemon did not start" >&2; exit 1; }

SENT=0
# Sends traps at RATE per second for $1 seconds, each written whole and
# renamed in, as the spool handler does.
send_for() {
    END=$(awk -v s="$(now)" -v d="$1" 'BEGIN { printf "%.3f", s + d }')
    while awk -v n="$(now)" -v e="$END" 'BEGIN { exit !(n < e) }'; do
        printf 'localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n.1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n.1.3.6.1.4.1.99.1 1\n.1.3.6.1.4.1.99.2 "trap %d"\ndate 2026-12-07 10:00:00\n' \
            "$SENT" > "$WORK/partial"
        mv "$WORK/partial" "$SPOOL/trap-$(printf '%08d' "$SENT")"
        SENT=$((SENT + 1))
        sleep "$(awk -v r="$RATE" 'BEGIN { printf "%.4f", 1 / r }')"
    done
}

send_for "$OUTAGE"
KIVO_PG_PORT=$PORT sh testing/pgcluster.sh halt "$CLUSTER"
send_for "$OUTAGE"
KIVO_PG_PORT=$PORT sh testing/pgcluster.sh resume "$CLUSTER"
BACK=$(now)
BEFORE=$SENT
send_for "$OUTAGE"

wait_until '[ "$(db -c "SELECT count(*) FROM kivo_error_happen")" -ge "$SENT" ]' 0.5 ||
    echo "not every trap was stored within ${LIMIT}s" >&2
STORED=$(db -c "SELECT count(DISTINCT happen_message) FROM kivo_error_happen")
CAUGHT_UP=$(db -c "SELECT extract(epoch FROM max(happen_timestamp)) FROM kivo_error_happen
    WHERE substring(happen_message from 'trap ([0-9]+)')::int < $BEFORE")
kill -TERM "$DAEMON"
wait "$DAEMON" || true
DAEMON=

echo "stream of $RATE traps/s for $((3 * OUTAGE)) s, server stopped for ${OUTAGE} s in the middle, 2 workers, $(nproc) cores"
printf '%-12s %s\n' "sent" "$SENT"
printf '%-12s %s\n' "stored" "$STORED"
printf '%-12s %s\n' "lost" "$((SENT - STORED))"
printf '%-12s %s\n' "catch-up s" "$(awk -v b="$BACK" -v c="$CAUGHT_UP" 'BEGIN { printf "%.1f", c - b }')"
echo "outage lines in the system log:"
grep -E '#(ERR|INFO)#(connection to the database|database still)' "$WORK/kivotrapd.log" | cut -c 26-
