#!/bin/sh
# Builds the daemon and runs it in the foreground on a local default: its
# settings, spool directory and logs under work/ in the project. Stop it
# with Ctrl-C or SIGTERM.
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
WORK="$ROOT/work"

if [ "$(id -u)" -eq 0 ]; then
    scripts/install-deps.sh
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target kivoTrapD

mkdir -p "$WORK/spool" "$WORK/log"
cat > "$WORK/kivo.conf" <<CONF
[LOG]
log_trapd_file=$WORK/log/kivotrapd.log
log_trap_receive=$WORK/log/trap_receive.log
log_trap_unknown=$WORK/log/trap_unknown.log
max_size_file_log=10000000
log_enable=1
[KIVO]
spool_directory=$WORK/spool/
sleep=1
trap_pqueue_file=$WORK/trap.pqueue
thread_number=2
CONF

rm -f "$WORK/log/kivotrapd.log"
echo "kivoTrapD: settings $WORK/kivo.conf, spool $WORK/spool/, system log $WORK/log/kivotrapd.log"
KIVO_CONF="$WORK/kivo.conf" "$ROOT/build/kivoTrapD" &
DAEMON=$!
trap 'kill -TERM $DAEMON 2>/dev/null' INT TERM
tail -n +1 -F "$WORK/log/kivotrapd.log" 2>/dev/null &
TAIL=$!
wait $DAEMON || true
wait $DAEMON 2>/dev/null || true
kill $TAIL 2>/dev/null || true
