#!/bin/sh
# Several daemons on one database, measured on the real daemon: N traps over
# S services (each service's traps critical and OK by turns, so that each
# critical opens a record and alerts, and each OK acknowledges it), through
# one daemon with one spool, then through two daemons on one database with a
# spool each, every trap put at random in one of the two spools. Each daemon
# has 2 workers; the plug-in prints the trap's number and exits with its
# state; the alerting program records its argument (the record's id).
# Prints per case the traps per second (from the first file taken to the
# last service row written) and the counts: criticals that opened a record,
# OKs that acknowledged one, records left open, alerts run, alerts whose id
# names the record their trap opened, records with two alerts, services
# whose final state is their last trap's, traps stored twice (two records
# of one trap) and the identities stored in kivo_trap_done.
#
# Each of the two daemons runs with a host name of its own (kivo-bench-a,
# -b, in a UTS namespace), as on two hosts. With SHARED_HOST=1 both keep the
# machine's name, as two daemons on one host would; each daemon's spool
# directory, which goes with the host's name into its traps' and due
# alerts' identity, tells them apart. The spool files' names differ between
# the two spools all the same (a-NNNNNNNN, b-NNNNNNNN).
#
#   bench/two-hosts.sh [N [S]]     (default 2000 traps, 8 services)
#
# The build directory is build-bench (or $BUILD_DIR).
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
N=${1:-2000}
S=${2:-8}
# Every wait below gives up after this many seconds.
LIMIT=${LIMIT:-300}
DAEMON_B=
bench_cleanup_more() {
    [ -n "$DAEMON_B" ] && kill -TERM "$DAEMON_B" 2>/dev/null && wait "$DAEMON_B" 2>/dev/null || true
}
. bench/lib.sh
bench_setup kivo-two-hosts kivoTrapD

PLUGIN="$WORK/plugin.sh"
ALERT="$WORK/alert.sh"
printf '#!/bin/sh\necho "trap $2"\nexit "$1"\n' > "$PLUGIN"
chmod 0755 "$PLUGIN"

left() { n=0; for d in "$@"; do n=$((n + $(ls -1U "$d" | wc -l))); done; echo "$n"; }

# fill SPLIT SPOOL...: trap i (service i % S + 1, state 2 then 0 by turns
# for each service) into one of the spools, chosen at random (SPLIT random)
# or by its service (SPLIT service, as a balancer that hashes the source
# keeps a device to one host); its name is the spool's letter and i. Writes
# each trap's number, service and state to $RUN/traps.
fill() {
    split=$1
    shift
    awk -v n="$N" -v s="$S" -v seed="$$" -v mode="$split" -v spools="$*" -v list="$RUN/traps" 'BEGIN {
        k = split(spools, dir, " ")
        srand(seed)
        for (i = 0; i < n; i++) {
            d = mode == "service" ? 1 + (i % s) % k : 1 + int(rand() * k)
            state = int(i / s) % 2 == 0 ? 2 : 0
            f = sprintf("%s/%c-%08d", dir[d], 96 + d, i)
            printf "localhost\nUDP: [127.0.0.1]:40000->[127.0.0.1]:162\n.1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.%d\n.1.3.6.1.4.1.99.1 %d\n.1.3.6.1.4.1.99.2 %d\ndate 2026-12-07 10:00:00\n", i % s + 1, state, i > f
            close(f)
            print i, i % s + 1, state > list
        }
    }'
}

# run NAME SPLIT SPOOLS: one case with one daemon per spool.
run() {
    NAME=$1 SPLIT=$2 SPOOLS=$3
    RUN="$WORK/$NAME"
    DB="kivo_$(echo "$NAME" | tr -c 'a-z\n' _)"
    ALERTS="$RUN/alerts"
    mkdir -p "$RUN"
    : > "$ALERTS"
    # One short append per alert: the lines of concurrent alerts do not mix.
    printf '#!/bin/sh\necho "$1" >> %s\n' "$ALERTS" > "$ALERT"
    chmod 0755 "$ALERT"
    bench_alerting_database "$DB" "$PLUGIN" "$ALERT" $S
    DIRS=
    for letter in $SPOOLS; do
        mkdir -p "$RUN/$letter/spool"
        bench_config "$RUN/$letter/kivo.conf" "$RUN/$letter" "$RUN/$letter/spool" "$DB" 2 1
        DIRS="$DIRS $RUN/$letter/spool"
    done
    # shellcheck disable=SC2086
    fill "$SPLIT" $DIRS
    for letter in $SPOOLS; do
        if [ "$SPOOLS" = a ] || [ -n "${SHARED_HOST:-}" ]; then
            KIVO_CONF="$RUN/$letter/kivo.conf" "$ROOT/$BUILD_DIR/kivoTrapD" > "$RUN/$letter/console" 2>&1 &
        else
            KIVO_CONF="$RUN/$letter/kivo.conf" unshare --uts sh -c 'hostname "$1" && exec "$2"' \
                sh "kivo-bench-$letter" "$ROOT/$BUILD_DIR/kivoTrapD" > "$RUN/$letter/console" 2>&1 &
        fi
        if [ -z "$DAEMON" ]; then DAEMON=$!; else DAEMON_B=$!; fi
    done
    # shellcheck disable=SC2086
    wait_until '[ "$(left $DIRS)" -lt "$N" ]' 0.005 || { echo "no daemon took a file" >&2; exit 1; }
    START=$(now)
    # A file leaves the spool after its trap's last step, the alert included.
    # shellcheck disable=SC2086
    wait_until '[ "$(left $DIRS)" -eq 0 ]' 0.2 ||
        { echo "the daemons did not handle $N traps in ${LIMIT}s" >&2; exit 1; }
    END=$(sql -d "$DB" -c "SELECT extract(epoch FROM max(service_last_exec_time)) FROM kivo_services")
    stop_daemon
    [ -z "$DAEMON_B" ] || { kill -TERM "$DAEMON_B"; wait "$DAEMON_B" || true; DAEMON_B=; }

    RATE=$(awk -v n="$N" -v s="$START" -v e="$END" 'BEGIN { printf "%.0f", n / (e - s) }')
    CRITICALS=$(awk '$3 == 2' "$RUN/traps" | wc -l)
    OKS=$((N - CRITICALS))
    sql -d "$DB" -F ' ' -c "SELECT happen_id, happen_service_id, happen_acquitte,
            substring(happen_message from '[0-9]+') FROM kivo_error_happen" > "$RUN/records"
    sql -d "$DB" -F ' ' -c "SELECT due_happen_id, due_service_id FROM kivo_alert_due" > "$RUN/due"
    sql -d "$DB" -F ' ' -c "SELECT service_id, service_previous_state FROM kivo_services" > "$RUN/states"
    DONE=$(sql -d "$DB" -c "SELECT count(*) FROM kivo_trap_done")
    # Records: id, service, acknowledged, trap number. A record names its
    # trap by the plug-in's output; it is right when that trap was a
    # critical of the same service.
    awk -v alerts="$ALERTS" -v due="$RUN/due" -v states="$RUN/states" -v n="$N" -v done="$DONE" '
        FILENAME == ARGV[1] { state[$1] = $3; service[$1] = $2; last[$2] = $3; next }
        {
            if (state[$4] == 2 && service[$4] == $2) opened[$4]++
            if ($3 == 1) acked++; else open++
            recordTrap[$1] = $4; recordService[$1] = $2
        }
        END {
            twice = 0; good = 0
            for (t in opened) { good++; if (opened[t] > 1) twice++ }
            while ((getline line < due) > 0) { split(line, f, " "); dueService[f[1]] = f[2] }
            while ((getline line < alerts) > 0) {
                alerts_run++; seen[line]++
                if ((line in recordService) && dueService[line] == recordService[line] &&
                    state[recordTrap[line]] == 2) named++
            }
            for (id in seen) if (seen[id] > 1) double++
            right = 0; services = 0
            while ((getline line < states) > 0) {
                split(line, f, " "); services++
                if (f[2] == last[f[1]]) right++
                if (f[2] == 2) critical++
            }
            printf "%d %d %d(%d) %d %d %d %d %d/%d %d/%d\n", good, acked + 0, open + 0, critical + 0, alerts_run + 0,
                named + 0, double + 0, twice, right, services, done, n
        }' "$RUN/traps" "$RUN/records" > "$RUN/counts"
    set -- $(cat "$RUN/counts")
    printf '%-16s %8s %10s %10s %10s %7s %7s %8s %8s %8s %12s\n' "$NAME" "$RATE" "$1/$CRITICALS" \
        "$2/$OKS" "$3" "$4" "$5" "$6" "$8" "$7" "$9"
}

echo "$N traps, $S services, critical and OK by turns; 2 workers per daemon; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-16s %8s %10s %10s %10s %7s %7s %8s %8s %8s %12s\n' case traps/s "criticals" "OKs" "left open" \
    alerts "named" "2 alerts" "states" "twice" "identities"
printf '%-16s %8s %10s %10s %10s %7s %7s %8s %8s %8s %12s\n' "" "" "opened" "acked" "(critical)" \
    "run" "exact" "" "right" "stored" "stored"
run one random "a"
run two-random random "a b"
run two-by-service service "a b"
