#!/bin/sh
# INFORMs that their sender repeats: snmptrapd with the in-process handler
# (the sample settings, this checkout's handler) on a free loopback port,
# and ROUNDS INFORMs, each sent by "snmpinform -r 3 -t 0.01" while
# snmptrapd is held with SIGSTOP; snmptrapd is let go once snmpinform has
# given up, so that all four copies of each INFORM wait in its socket. It
# prints the INFORMs sent, the copies snmptrapd handed over (its own log
# line for each, "authCommunity log,execute"), the spool files written and
# the copies the handler dropped (its counter file informs-dropped). Needs
# no build, no database and no daemon.
#
#   bench/informs.sh [ROUNDS]     (default 20)
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
ROUNDS=${1:-20}
WORK=$(mktemp -d /tmp/informs-XXXXXX)
SNMPTRAPD=
cleanup() {
    if [ -n "$SNMPTRAPD" ]; then
        kill -CONT "$SNMPTRAPD" 2>/dev/null || true
        kill -TERM "$SNMPTRAPD" 2>/dev/null || true
        wait "$SNMPTRAPD" 2>/dev/null || true
    fi
    [ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Waits up to 10 s for a command to succeed.
wait_for() {
    i=0
    while ! "$@" >/dev/null 2>&1; do
        i=$((i + 1))
        [ "$i" -le 100 ] || return 1
        sleep 0.1
    done
}
handed_over() { grep -c '^[0-9-]* [0-9:]* .*\[UDP: \[127.0.0.1\]' "$WORK/snmptrapd.log" || true; }
dropped() { cat "$WORK/.spool.staging/informs-dropped" 2>/dev/null || echo 0; }

mkdir "$WORK/spool"
sed -e "s|/var/spool/kivo/|$WORK/spool/|" \
    -e "s|/usr/share/kivo/kivo-spool-handler.pl|$ROOT/receiver/kivo-spool-handler.pl|" \
    -e 's|^authCommunity execute public|authCommunity log,execute public|' \
    conf/snmptrapd-perl.conf.sample >"$WORK/snmptrapd.conf"
PORT=$((20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000))
snmptrapd -f -m "" -C -c "$WORK/snmptrapd.conf" -Lf "$WORK/snmptrapd.log" \
    --persistentDir="$WORK/persist" "udp:127.0.0.1:$PORT" >"$WORK/snmptrapd.out" 2>&1 &
SNMPTRAPD=$!
wait_for grep -q "NET-SNMP version" "$WORK/snmptrapd.log" || {
    cat "$WORK/snmptrapd.log" "$WORK/snmptrapd.out" >&2
    exit 1
}

round=0
while [ "$round" -lt "$ROUNDS" ]; do
    round=$((round + 1))
    kill -STOP "$SNMPTRAPD"
    snmpinform -m "" -v 2c -c public -r 3 -t 0.01 "udp:127.0.0.1:$PORT" '' \
        .1.3.6.1.4.1.99.0.1 .1.3.6.1.4.1.99.1 i "$round" >/dev/null 2>&1 || true
    kill -CONT "$SNMPTRAPD"
    wait_for sh -c "[ \$(ls '$WORK/spool' | wc -l) -ge $round ]" || break
done
# A trap behind the last copies: once it is spooled, snmptrapd has handed
# over everything before it.
snmptrap -m "" -v 2c -c public "udp:127.0.0.1:$PORT" '' .1.3.6.1.4.1.99.0.2
wait_for sh -c "[ \$(ls '$WORK/spool' | wc -l) -gt $round ]" || echo "informs.sh: the last trap did not arrive" >&2

printf '%-14s %-20s %-13s %s\n' "INFORMs sent" "copies handed over" "spool files" "copies dropped"
printf '%-14s %-20s %-13s %s\n' "$round" "$(($(handed_over) - 1))" "$(($(ls "$WORK/spool" | wc -l) - 1))" "$(dropped)"
