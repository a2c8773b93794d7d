#!/bin/sh
# Test plug-in: stop_self.sh PID_FILE
# Writes its process id into PID_FILE, prints one line, closes its standard
# output so that the reader sees the end, then stops itself with SIGSTOP.
printf '%s\n' "$$" > "$1"
printf 'about to stop\n'
exec >&-
kill -STOP $$
