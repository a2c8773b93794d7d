#!/bin/sh
# Traps per second of several revisions of the daemon, measured as
# throughput.sh measures them without the listener (N trap files over 16
# services, check_dummy, from the first file taken to the last service row
# written), but in interleaved runs: round after round, each revision once
# per round. A drift of the machine during the runs then falls on every
# revision alike, where runs of one revision after another's would show it
# as a difference between them. Prints every run (with the daemon's own
# processor time, plug-ins left out), then the median and range of each
# revision and worker count.
#
#   bench/compare.sh REV...
#
#   N          trap files per run (default 3000)
#   WORKERS    the worker counts (default "1 2 4")
#   ROUNDS     runs per revision and worker count (default 5)
#
# Each revision is built (Release, the daemon only) in a worktree
# /tmp/kivo-compare-REV, which later calls reuse as it is (so name a
# commit, not a branch that moves); remove them with
# "git worktree remove". All revisions run against this checkout's schema.
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
N=${N:-3000}
WORKERS=${WORKERS:-1 2 4}
ROUNDS=${ROUNDS:-5}
PLUGIN=/usr/lib/nagios/plugins/check_dummy
LIMIT=600

if [ $# -eq 0 ]; then
    echo "usage: $0 REV..." >&2
    exit 2
fi

. bench/lib.sh
bench_setup kivo-bench-compare

for rev in "$@"; do
    tree="/tmp/kivo-compare-$rev"
    [ -d "$tree" ] || git worktree add -f --detach "$tree" "$rev" >/dev/null
    cmake -S "$tree" -B "$tree/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_TESTING=OFF -DKIVO_BUILD_BENCHMARKS=OFF >/dev/null
    cmake --build "$tree/build-bench" --target kivoTrapD >/dev/null
done

# run REV W K: one run, its line into $WORK/runs: "REV W rate cpu".
run() {
    RUN="$WORK/run$3"
    DB="kivo_compare_$3"
    SPOOL="$RUN/spool"
    mkdir -p "$SPOOL"
    bench_spread_database "$DB" "$PLUGIN"
    bench_config "$RUN/kivo.conf" "$RUN" "$SPOOL" "$DB" "$2" 1
    bench_spread_traps "$SPOOL" "$N"
    KIVO_CONF="$RUN/kivo.conf" "/tmp/kivo-compare-$1/build-bench/kivoTrapD" > "$RUN/console" 2>&1 &
    DAEMON=$!
    wait_until '[ "$(ls -1U "$SPOOL" | wc -l)" -lt "$N" ]' 0.005 ||
        { echo "$1: the daemon took no file" >&2; exit 1; }
    START=$(now)
    wait_until '[ "$(grep -c "#EXEC#RETURN exec 0" "$RUN/kivotrapd.log")" -ge "$N" ]' 0.5 ||
        { echo "$1: the daemon did not handle $N traps in ${LIMIT}s" >&2; exit 1; }
    END=$(sql -d "$DB" -c "SELECT extract(epoch FROM max(service_last_exec_time)) FROM kivo_services")
    # utime and stime of the daemon itself, in clock ticks.
    CPU=$(awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / hz }' "/proc/$DAEMON/stat")
    stop_daemon
    echo "$1 $2 $(awk -v n="$N" -v s="$START" -v e="$END" 'BEGIN { printf "%.0f", n / (e - s) }') $CPU" |
        tee -a "$WORK/runs"
    rm -rf "$RUN"
    sql -d postgres -c "DROP DATABASE $DB"
}

echo "$N traps per run, $ROUNDS rounds, plug-in $PLUGIN, $(nproc) cores"
echo "revision workers traps/s daemon-cpu-s"
k=0
for W in $WORKERS; do
    round=0
    while [ "$round" -lt "$ROUNDS" ]; do
        for rev in "$@"; do
            k=$((k + 1))
            run "$rev" "$W" "$k"
        done
        round=$((round + 1))
    done
done

echo
printf '%-12s %8s %8s %18s %12s\n' revision workers median range "daemon cpu s"
for W in $WORKERS; do
    for rev in "$@"; do
        awk -v r="$rev" -v w="$W" '$1 == r && $2 == w { print $3, $4 }' "$WORK/runs" | sort -n |
            awk -v r="$rev" -v w="$W" '{ rate[NR] = $1; cpu += $2 }
                END { m = NR % 2 ? rate[(NR + 1) / 2] : (rate[NR / 2] + rate[NR / 2 + 1]) / 2
                      printf "%-12s %8s %8.0f %18s %12.2f\n", r, w, m, rate[1] " to " rate[NR], cpu / NR }'
    done
done
