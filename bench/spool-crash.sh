#!/bin/sh
# The spool as the record of every trap, measured on the real daemon.
#
# 1. Five times: a burst of N trap files (default 5000) in the spool, the
#    daemon (2 workers, a plug-in that records the trap's number) killed
#    with SIGKILL at a random point of the burst, then started again until
#    the spool is empty. Prints per round where it was killed, the traps
#    lost (never recorded: must be 0) and the traps whose plug-in ran twice.
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
PLUGIN="$WORK/record.sh"
mkdir -p "$SPOOL"
printf '#!/bin/sh\nprintf "%%s\\n" "$1" >> %s\necho recorded\n' "$RECORDS" > "$PLUGIN"
chmod 0755 "$PLUGIN"

bench_database kivo_crash "$PLUGIN" '$1'
bench_config "$WORK/kivo.conf" "$WORK" "$SPOOL" kivo_crash 2 1

# fill COUNT SIZE: COUNT trap files numbered from 0, each padded to SIZE bytes.
fill() {
    awk -v n="$1" -v size="$2" -v dir="$SPOOL" 'BEGIN {
        pad = ""
        for (i = 0; i < n; i++) {
            f = sprintf("%s/trap-%08d", dir, i)
            body = sprintf("localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n.1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n.1.3.6.1.4.1.99.1 %d\ndate 2026-12-07 10:00:00\n", i)
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

echo "SIGKILL during a burst of $N traps, $ROUNDS rounds, 2 workers, $(nproc) cores"
printf '%-6s %16s %6s %12s\n' round "killed after" lost "run twice"
TOTAL_LOST=0
TOTAL_TWICE=0
r=1
while [ "$r" -le "$ROUNDS" ]; do
    rm -f "$RECORDS"
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
    printf '%-6s %16s %6s %12s\n' "$r" "$KILLED traps" "$LOST" "$TWICE"
    TOTAL_LOST=$((TOTAL_LOST + LOST))
    TOTAL_TWICE=$((TOTAL_TWICE + TWICE))
    r=$((r + 1))
done
echo "traps lost: $TOTAL_LOST; traps run twice: $TOTAL_TWICE (of $((N * ROUNDS)))"

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
