#!/bin/sh
# The spool as the record of every trap, measured on the real daemon.
#
# 1. Five times: a burst of N trap files (default 5000) in the spool, over 4
#    services, critical and OK by turns for each, the daemon (2 workers, a
#    plug-in that records the trap's number and exits with its state, an
#    alerting program on critical that records its argument) killed with
#    SIGKILL at a random point of the burst, then started again until the
#    spool is empty. Prints per round where it was killed, the traps lost
#    (never recorded: must be 0), the traps whose plug-in ran twice, and
#    what the database holds: traps stored twice (two error records of one
#    trap, or an identity in kivo_trap_done missing or twice), due alerts
#    left unrun (kivo_alert_due rows not done once the restarted daemon,
#    which runs them at its start, has emptied the spool), alerts lost
#    (records of criticals whose id the alerting program never received)
#    and OKs that acknowledged nothing (records left open). Each must be 0.
# 2. The daemon's peak memory (VmHWM) with M spool files of 2 KiB waiting
#    (default 100000), while 2 workers work them off for 15 s.
#
#   bench/spool-crash.sh [N [M]]
#
# The build directory is build-bench (or $BUILD_DIR).
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
N=${1:-5000}
M=${2:-100000}
ROUNDS=5
# Every wait below gives up after this many seconds.
LIMIT=${LIMIT:-600}

. bench/lib.sh
bench_setup kivo-bench kivoTrapD

SPOOL="$WORK/spool"
RECORDS="$WORK/records"
ALERTS="$WORK/alerts"
PLUGIN="$WORK/record.sh"
ALERT="$WORK/alert.sh"
SERVICES=4
mkdir -p "$SPOOL"
printf '#!/bin/sh\nprintf "%%s\\n" "$1" >> %s\necho "trap $1"\nexit "$2"\n' "$RECORDS" > "$PLUGIN"
printf '#!/bin/sh\necho "$1" >> %s\n' "$ALERTS" > "$ALERT"
chmod 0755 "$PLUGIN" "$ALERT"

bench_alerting_database kivo_crash "$PLUGIN" "$ALERT" $SERVICES
bench_config "$WORK/kivo.conf" "$WORK" "$SPOOL" kivo_crash 2 1

# fill COUNT SIZE: COUNT trap files numbered from 0, each padded to SIZE
# bytes; trap i for service i % SERVICES + 1, critical (2) and OK (0) by
# turns for each service.
fill() {
    awk -v n="$1" -v size="$2" -v dir="$SPOOL" -v services="$SERVICES" 'BEGIN {
        pad = ""
        for (i = 0; i < n; i++) {
            f = sprintf("%s/trap-%08d", dir, i)
            body = sprintf("localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n.1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.%d\n.1.3.6.1.4.1.99.1 %d\n.1.3.6.1.4.1.99.2 %d\ndate 2026-12-07 10:00:00\n",
                i % services + 1, i, int(i / services) % 2 == 0 ? 2 : 0)
            if (pad == "" && size > length(body) + 30) {
                for (j = 0; j < size - length(body) - 30; j++) pad = pad "x"
            }
            printf "%s.1.3.6.1.4.1.99.9 %s\n", body, pad > f
            close(f)
        }
    }'
}

start_daemon() {
    KIVO_CONF="$WORK/kivo.conf" "$ROOT/$BUILD_DIR/kivoTrapD" >> "$WORK/console" 2>&1 &
    DAEMON=$!
}
recorded() { [ -f "$RECORDS" ] && wc -l < "$RECORDS" || echo 0; }
spool_empty() { [ -z "$(ls -A "$SPOOL")" ]; }

# What the database holds after a round, as "twice due lost unacked":
# records of one trap beyond the first plus identities not stored exactly
# once, due alerts not done, critical records that got no alert, records
# left open.
stored_counts() {
    sql -d kivo_crash -c "SELECT substring(happen_message from '[0-9]+'), happen_id, happen_acquitte
        FROM kivo_error_happen" -F ' ' > "$WORK/happen"
    DONE=$(sql -d kivo_crash -c "SELECT count(*) FROM kivo_trap_done")
    DUE=$(sql -d kivo_crash -c "SELECT count(*) FROM kivo_alert_due WHERE due_done_time IS NULL")
    touch "$ALERTS"
    awk -v n="$N" -v done="$DONE" -v due="$DUE" -v alerts="$ALERTS" '
        { records[$1]++; id[$2] = 1; if ($3 == 0) open++ }
        END {
            while ((getline a < alerts) > 0) alerted[a] = 1
            twice = done > n ? done - n : n - done
            for (t in records) if (records[t] > 1) twice += records[t] - 1
            for (i in id) if (!(i in alerted)) lost++
            printf "%d %d %d %d\n", twice, due, lost + 0, open + 0
        }' "$WORK/happen"
}

echo "SIGKILL during a burst of $N traps, $ROUNDS rounds, 2 workers, $SERVICES services, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-6s %16s %6s %10s %13s %10s %12s %14s\n' round "killed after" lost "run twice" \
    "stored twice" "due unrun" "alerts lost" "OKs not acked"
TOTAL_LOST=0
TOTAL_TWICE=0
TOTAL_STORED=0
r=1
while [ "$r" -le "$ROUNDS" ]; do
    rm -f "$RECORDS" "$ALERTS"
    # Each round starts from an empty journal: its trap files have the
    # names of the round before.
    sql -d kivo_crash -c "TRUNCATE kivo_trap_done, kivo_alert_due, kivo_error_happen;
        UPDATE kivo_services SET service_previous_state = 0"
    fill "$N" 300
    KILL_AT=$(awk -v n="$N" -v seed="$r$$" 'BEGIN { srand(seed); printf "%d", 1 + rand() * (n - 2) }')
    start_daemon
    wait_until '[ "$(recorded)" -ge "$KILL_AT" ]' 0.01 || { echo "no progress" >&2; exit 1; }
    kill -KILL "$DAEMON"
    wait "$DAEMON" 2>/dev/null || true
    DAEMON=
    KILLED=$(recorded)
    start_daemon
    wait_until spool_empty 0.2 || { echo "the restarted daemon did not empty the spool" >&2; exit 1; }
    kill -TERM "$DAEMON"
    wait "$DAEMON" || true
    DAEMON=
    LOST=$(awk -v n="$N" '{ seen[$1]++ } END { lost = 0; for (i = 0; i < n; i++) if (!(i in seen)) lost++; print lost }' "$RECORDS")
    TWICE=$(awk '{ seen[$1]++ } END { t = 0; for (k in seen) if (seen[k] > 1) t++; print t }' "$RECORDS")
    set -- $(stored_counts)
    printf '%-6s %16s %6s %10s %13s %10s %12s %14s\n' "$r" "$KILLED traps" "$LOST" "$TWICE" \
        "$1" "$2" "$3" "$4"
    TOTAL_LOST=$((TOTAL_LOST + LOST))
    TOTAL_TWICE=$((TOTAL_TWICE + TWICE))
    TOTAL_STORED=$((TOTAL_STORED + $1 + $2 + $3 + $4))
    r=$((r + 1))
done
echo "traps lost: $TOTAL_LOST; traps run twice: $TOTAL_TWICE (of $((N * ROUNDS))); stored twice, due unrun, alerts lost, OKs not acknowledged: $TOTAL_STORED in all"

# Memory with a large backlog.
rm -f "$RECORDS"
fill "$M" 2048
start_daemon
PEAK=0
i=0
while [ "$i" -lt 150 ]; do
    HWM=$(awk '/^VmHWM/ { print $2 }' "/proc/$DAEMON/status")
    [ "$HWM" -gt "$PEAK" ] && PEAK=$HWM
    sleep 0.1
    i=$((i + 1))
done
kill -TERM "$DAEMON"
wait "$DAEMON" || true
DAEMON=
echo "$M spool files of 2 KiB waiting: peak RSS $((PEAK / 1024)) MiB, $(recorded) traps handled in 15 s"
