#!/bin/sh
# Test plug-in: hang_once.sh MARK_FILE TEXT
# The first run for a MARK_FILE writes its process id there and hangs for
# thirty seconds (a bound, so that nothing waits on it for ever); every
# later run prints TEXT and reports OK.
if [ -e "$1" ]; then
    printf '%s\n' "$2"
    exit 0
fi
printf '%s\n' "$$" > "$1.partial"
mv "$1.partial" "$1"
sleep 30
