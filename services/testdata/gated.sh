#!/bin/sh
# Test plug-in: gated.sh STARTED_FILE GATE_FILE TEXT
# Creates STARTED_FILE, waits until GATE_FILE exists, prints TEXT and exits
# 0. Gives up after about twenty seconds with status 3, so that a test never
# hangs on it.
: > "$1"
tries=0
while [ ! -e "$2" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 400 ]; then
        printf 'gate %s never opened\n' "$2"
        exit 3
    fi
    sleep 0.05
done
printf '%s\n' "$3"
